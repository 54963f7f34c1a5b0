// The root of every class in the system, the class meta set that each class carries, and the
// small interfaces mixed into many classes. Objects cross library boundaries and are destroyed
// through their virtual release, so all of them come from and go back to the C heap.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iosfwd>
#include <mutex>

class OB_String;

// Identifies a class or interface; the same in every deliverable.
using OB_ClassID = uint32_t;

namespace ob_detail {
// One base's answer. A function of its own, because clang 14 cannot expand a pack that appears
// only in the qualifier of a member call (self->Bases::queryInterface).
template <class Base>
int askBase(Base* self, OB_ClassID id, void** out) {
  return self->Base::queryInterface(id, out);
}

// Answers a queryInterface the way every class does: its own identifier first, then each direct
// base in declaration order (each base answering as its own queryInterface would).
template <class Self, class... Bases>
int queryChain(Self* self, OB_ClassID id, void** out) {
  if (out == nullptr) return -1;
  if (id == Self::getClassID()) {
    *out = self;
    return 0;
  }
  bool found = (... || (askBase<Bases>(self, id, out) == 0));
  if (!found) *out = nullptr;
  return found ? 0 : -1;
}
}  // namespace ob_detail

// Declares getClassID, getClassName and queryInterface. The trailing arguments are the direct
// bases that queryInterface asks, in declaration order; a class that names none answers only its
// own identifier.
#define OB_CLASS_IDENTITY(Class, ident, name, ...)                                        \
 public:                                                                                  \
  static OB_ClassID getClassID() { return ident; }                                        \
  const char* getClassName() override { return name; }                                    \
  int queryInterface(OB_ClassID id, void** out) override {                                \
    return ob_detail::queryChain<Class __VA_OPT__(, ) __VA_ARGS__>(this, id, out);        \
  }

// Declares the static create: allocate (null when the heap is exhausted), construct, init.
#define OB_CLASS_CREATE(Class)              \
 public:                                    \
  static Class* create() {                  \
    Class* object = new Class();            \
    if (object != nullptr) object->init();  \
    return object;                          \
  }

class OB_Object {
 public:
  OB_Object() = default;
  OB_Object(const OB_Object&) = default;
  OB_Object& operator=(const OB_Object&) = default;
  virtual ~OB_Object() = default;

  // The C heap, so that an object made in one deliverable can be freed in another. A failed
  // allocation yields null rather than throwing, and create passes that null on.
  static void* operator new(size_t size) noexcept { return std::malloc(size); }
  static void operator delete(void* block) noexcept { std::free(block); }

  static OB_ClassID getClassID() { return 0x2BE2BF78; }
  virtual const char* getClassName() { return "OB_Object"; }
  virtual int queryInterface(OB_ClassID id, void** out) {
    return ob_detail::queryChain<OB_Object>(this, id, out);
  }
  virtual int init() { return 0; }
  virtual int reset() { return 0; }
  virtual int copy(OB_Object* /*from*/) { return 0; }
  // Destroys and frees the object. Counted objects override this.
  virtual void release() { delete this; }
  virtual int addRef() { return 0; }
  virtual int print(FILE* /*stream*/) { return 0; }
  virtual int write(FILE* /*stream*/) { return 0; }
  virtual int read(FILE* /*stream*/) { return 0; }
  virtual int writeJ(int /*socket*/) { return 0; }
  virtual int readJ(int /*socket*/) { return 0; }
  virtual int localDump(std::ostream& /*out*/, int /*level*/, OB_String& /*prefix*/) { return 0; }

  OB_CLASS_CREATE(OB_Object)
};

// Releases any face of an object; a null pointer is allowed and does nothing.
template <class T>
inline void obRelease(T* object) {
  if (object != nullptr) object->release();
}

// Asks any face of an object for another face; null when the object has none (or is null).
template <class Wanted, class T>
inline Wanted* obQuery(T* object) {
  void* out = nullptr;
  if (object == nullptr || object->queryInterface(Wanted::getClassID(), &out) != 0) return nullptr;
  return static_cast<Wanted*>(out);
}

// A reference count that starts at 1; the last release deletes the object after preRelease.
// The count is atomic, so holders on different threads need no lock of their own for it.
class OB_ReferenceCounter : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_ReferenceCounter, 0x2BE2BF79, "OB_ReferenceCounter", OB_Object)
  OB_CLASS_CREATE(OB_ReferenceCounter)

 public:
  OB_ReferenceCounter() = default;
  // A copy is a new object with one holder, not a share of the original's holders.
  OB_ReferenceCounter(const OB_ReferenceCounter&) : OB_Object() {}
  OB_ReferenceCounter& operator=(const OB_ReferenceCounter&) { return *this; }

  int addRef() override {
    count_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  // Does nothing once the count is 0 or less, so a stray extra release never deletes twice.
  void release() override {
    int32_t current = count_.load(std::memory_order_relaxed);
    do {
      if (current <= 0) return;
    } while (!count_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
    if (current == 1) {
      preRelease();
      delete this;
    }
  }
  virtual void preRelease() {}
  int32_t getReferenceCount() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> count_{1};
};

// A locked unsigned 32-bit counter; decrement below zero wraps.
class OB_Counter : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Counter, 0x2BE2BF7C, "OB_Counter", OB_Object)

 public:
  virtual uint32_t getCount() {
    std::lock_guard<std::mutex> hold(lock_);
    return count_;
  }
  virtual void increment(int n) {
    std::lock_guard<std::mutex> hold(lock_);
    count_ += static_cast<uint32_t>(n);
  }
  virtual void decrement(int n) {
    std::lock_guard<std::mutex> hold(lock_);
    count_ -= static_cast<uint32_t>(n);
  }

 private:
  std::mutex lock_;
  uint32_t count_ = 0;
};

// Equality test between objects: 0 for equal, -1 otherwise; `how` picks the kind where a class
// knows several.
class OB_Compare : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Compare, 0x2BE2BF7E, "OB_Compare", OB_Object)

 public:
  virtual int compare(OB_Compare* /*other*/, int /*how*/) { return -1; }
};

// Bucket index in 0 .. modulus-1 for hash tables; -1 in the base.
class OB_CalcHash : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_CalcHash, 0x2BE2BF80, "OB_CalcHash", OB_Object)

 public:
  virtual int calcHash(int /*modulus*/) { return -1; }
};

// The push interface through which one stage hands an object to the next. It answers only its
// own identifier, not the root's.
class OB_Processor : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Processor, 0xE4B524B2, "OB_Processor")

 public:
  virtual int processObject(OB_Object* /*object*/) { return 0; }
};
