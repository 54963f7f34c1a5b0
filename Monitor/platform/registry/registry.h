// The machine's configuration keys, read-only, in place of a system registry: a key has named
// sub-keys and named text values. It holds the network-card keys that list the adapters the
// capture engine may bind; the capture driver and the packet manager read them.
//
// The network cards are listed under each of the three paths below (the same list under each),
// as sub-keys "0000", "0001", ... in order. Each sub-key has the text values "DeviceName" (the
// name the capture driver opens: an interface name or "file:<path>") and "Description". The list
// comes from the key:value file "<install>/admin/adapters.cfg" when that file exists, one line
// "adapter: <device name>" per card in order (other names and '#' comments are ignored), else
// from the machine's network interfaces as the capture driver lists them (REG_SetInterfaceLister).
// It is taken afresh each time a key is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open key, owned by the caller until REG_CloseKey.
typedef struct REG_KeyData* REG_Key;

inline constexpr const char* REG_NETWORK_CARDS_NT4 =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
inline constexpr const char* REG_NETWORK_CARDS_NT5 =
    "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* REG_NETWORK_CARDS_CLASS = "System\\CurrentControlSet\\Services\\Class\\Net";
inline constexpr const char* REG_VALUE_DEVICE_NAME = "DeviceName";
inline constexpr const char* REG_VALUE_DESCRIPTION = "Description";
// The adapter list of an installation, relative to the install directory.
inline constexpr const char* REG_ADAPTERS_FILE = "/admin/adapters.cfg";

// Opens the key at path (under the local machine; '\\' or '/' between names, names compared
// without regard to case). 0 and *key set, or -1 and *key null when there is no such key.
int REG_OpenKey(const char* path, REG_Key* key);
// Opens the sub-key name of parent; as REG_OpenKey.
int REG_OpenSubKey(REG_Key parent, const char* name, REG_Key* key);
// The name of sub-key number index into name (size bytes, NUL-ended). 0, or -1 past the last
// sub-key or when the name does not fit.
int REG_EnumKey(REG_Key key, uint32_t index, char* name, size_t size);
// The text value valueName into data (size bytes, NUL-ended). 0, or -1 when the key has no such
// value or it does not fit (data then holds "").
int REG_QueryValue(REG_Key key, const char* valueName, char* data, size_t size);
// Closes the key; null is ignored. Returns 0.
int REG_CloseKey(REG_Key key);

// A network interface of the machine: the name the capture driver opens, and a description.
struct REG_Interface {
  std::string device;
  std::string description;
};
// Lists the machine's network interfaces in the order the cards take.
typedef std::vector<REG_Interface> (*REG_InterfaceLister)();
// Sets where the cards come from when no adapters file lists them; the capture driver sets its
// own (GLIM_InitializeLibrary). Null, the default, lists none.
void REG_SetInterfaceLister(REG_InterfaceLister lister);
