// Every class's identifier, in one table. The identifiers are what queryInterface answers to and
// what obQuery asks with, so a changed or doubled one silently breaks a face elsewhere; other tests
// ask for faces through getClassID() and leave the numbers to this table.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "OB_Buffer.h"
#include "OB_BufferStream.h"
#include "OB_CEngineMgr.h"
#include "OB_CLFWriter.h"
#include "OB_EngineMgr.h"
#include "OB_Event.h"
#include "OB_FTPConsumer.h"
#include "OB_HTTPConsumer.h"
#include "OB_Key.h"
#include "OB_Link.h"
#include "OB_List.h"
#include "OB_MessageHandler.h"
#include "OB_Mutex.h"
#include "OB_NamedLink.h"
#include "OB_NamedStringList.h"
#include "OB_NetConsumer.h"
#include "OB_Object.h"
#include "OB_PacketBufferTemplate.h"
#include "OB_PacketManager.h"
#include "OB_PooledPacketBuffer.h"
#include "OB_Queue.h"
#include "OB_ResetThread.h"
#include "OB_Runnable.h"
#include "OB_Stream.h"
#include "OB_StreamBuilder.h"
#include "OB_String.h"
#include "OB_Thread.h"
#include "OB_ThreadList.h"
#include "archive/OB_ArchiveHeader.h"
#include "archive/OB_ArchiveReader.h"
#include "archive/OB_ArchiveWriter.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_AEngineConfigAdmin.h"
#include "config/OB_ConfigReport.h"
#include "config/OB_ConfigReportList.h"
#include "config/OB_User.h"
#include "ftp/OB_FTPProtocol.h"
#include "ftp/OB_FTPXact.h"
#include "ftp/OB_FTPftranLink.h"
#include "http/OB_HTTPAnalysisStats.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "net/OB_AddrPair.h"
#include "net/OB_AllNetData.h"
#include "pool/OB_MemoryPool.h"
#include "pool/OB_MemoryPoolObject.h"
#include "pool/OB_MemoryQueue.h"
#include "records/OB_Consumer.h"
#include "records/OB_Data.h"
#include "records/OB_Protocol.h"
#include "records/OB_ProtocolWriter.h"
#include "records/OB_Xact.h"
#include "stats/OB_Domain.h"
#include "stats/OB_Stats.h"
#include "windows/OB_GapKeeper.h"
#include "tcp/OB_PacketBuffer.h"
#include "tcp/OB_PacketStream.h"
#include "tcp/OB_Server.h"
#include "tcp/OB_Session.h"
#include "tcp/OB_TCPSession.h"

namespace {

struct Identity {
  const char* name;
  OB_ClassID declared;  // what the class's getClassID() returns
  OB_ClassID expected;
};

#define ROW(Class, id) Identity{#Class, Class::getClassID(), id}

// A template's identifier is the same for every argument; one instance stands for all.
using Pooled = OB_PooledPacketBuffer32;

const std::vector<Identity> kIdentities = {
    // libcrux
    ROW(OB_Object, 0x2BE2BF78),
    ROW(OB_ReferenceCounter, 0x2BE2BF79),
    ROW(OB_Mutex, 0x2BE2BF7A),
    ROW(OB_Event, 0x2BE2BF7B),
    ROW(OB_Counter, 0x2BE2BF7C),
    ROW(OB_Compare, 0x2BE2BF7E),
    ROW(OB_CalcHash, 0x2BE2BF80),
    ROW(OB_ResetThread, 0x2BE2BF84),
    ROW(OB_Link<OB_String>, 0x2BE2BF9B),
    ROW(OB_NamedLink<OB_String>, 0x2BE2BF9C),
    ROW(OB_List<OB_String>, 0x2BE2BF9D),
    ROW(OB_NamedStringList, 0x2BE2BF9D),  // answers as the list it is
    ROW(OB_Runnable, 0x2BE2BFA3),
    ROW(OB_Thread, 0x2BE2BFA4),
    ROW(OB_ThreadList, 0x2BE2BFB6),
    ROW(OB_EngineMgr, 0x2BE2BF76),
    ROW(OB_MessageHandler, 0x07DBE6C3),
    ROW(OB_Key<uint32_t>, 0x0F53C6D2),
    ROW(OB_String, 0x2371E481),
    ROW(OB_Buffer, 0x411CDB01),
    ROW(OB_Stream, 0x411CDB02),
    ROW(OB_BufferStream, 0x411CDB04),
    ROW(OB_Queueable<OB_String>, 0xB68A6C72),
    ROW(OB_Processor, 0xE4B524B2),
    // libwire
    ROW(OB_AllNetData, 0x2BE2BF74),
    ROW(Pooled::PoolPart, 0x2BE2BF77),
    ROW(OB_PacketBuffer, 0x2BE2BF95),
    ROW(OB_MemoryQueue<Pooled>, 0x2BE2BF9F),
    ROW(OB_MemoryPool<Pooled>, 0x2BE2BFA1),
    ROW(OB_Consumer, 0x2BE2BFA7),
    ROW(OB_AddrPair, 0x053758B2),
    ROW(OB_FTPftranLink, 0x0326B4A1),
    ROW(OB_Server, 0x166472A2),
    ROW(OB_Data, 0x2A5A59F7),
    ROW(OB_Protocol, 0x2A5A59F9),
    ROW(OB_HTTPProtocol, 0x2A5A59FB),
    ROW(OB_FTPProtocol, 0x2A5A59FD),
    ROW(OB_HTTPXact, 0x393DB021),
    ROW(OB_TCPSession, 0x411CDB07),
    ROW(OB_PacketStream, 0x411CDB06),
    ROW(OB_FTPXact, 0x78A670F1),
    ROW(OB_ProtocolWriter, 0x841B3872),
    ROW(OB_ArchiveWriter, 0x841B3873),
    ROW(OB_ArchiveReader, 0x841B3875),
    ROW(OB_ArchiveHeader, 0x88AF04C1),
    ROW(OB_Xact, 0xE91109A1),
    ROW(OB_Session, 0xF2384D82),
    // libgrabber
    ROW(OB_PacketBufferTemplate<32>, 0x2BE2BF96),
    ROW(OB_PacketManager, 0x2BE2BF97),
    ROW(OB_StreamBuilder, 0x2BE2BFA8),
    ROW(OB_NetConsumer, 0x2BE2BFAA),
    ROW(OB_CEngineMgr, 0x2BE2BFB3),
    ROW(OB_CLFWriter, 0x6C0F1A13),
    ROW(OB_FTPConsumer, 0x98008083),
    ROW(OB_HTTPConsumer, 0xDA479B62),
    // libsifter
    ROW(OB_ConfigReport, 0x2BE2BF85),
    ROW(OB_ConfigReportList, 0x2BE2BF86),
    ROW(OB_User, 0x2BE2BF87),
    ROW(OB_AEngineConfig, 0x2BE2BFC4),
    ROW(OB_AEngineConfigAdmin, 0x2BE2BFC5),
    ROW(OB_Domain, 0x2371E111),
    ROW(OB_HTTPAnalysisStats, 0x2A5A59F2),
    ROW(OB_Stats, 0x69A6A9B1),
    ROW(OB_GapKeeper, 0x2BE2BFC7),
};

#undef ROW

TEST(ClassIdentity, EveryClassKeepsItsIdentifierAndNoTwoShareOne) {
  std::map<OB_ClassID, std::string> owners;
  for (const Identity& row : kIdentities) {
    EXPECT_EQ(row.declared, row.expected) << row.name << " has 0x" << std::hex << row.declared;
    auto [at, added] = owners.emplace(row.declared, row.name);
    // A named string list is the one class that shares another's identifier on purpose.
    if (!added && std::string(row.name) != "OB_NamedStringList") {
      ADD_FAILURE() << row.name << " shares 0x" << std::hex << row.declared << " with "
                    << at->second;
    }
  }
}

}  // namespace
