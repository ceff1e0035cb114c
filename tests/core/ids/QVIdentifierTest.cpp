#include <algorithm>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "ids/QVContext.h"
#include "ids/QVDiskId.h"
#include "ids/QVFileId.h"
#include "ids/QVNetworkId.h"
#include "ids/QVProcessId.h"
#include "ids/QVProcessorId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "support/ArchiveRoundTrip.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using test::DecodeObject;
using test::Text;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

QVSystemId TestSystem() { return QVSystemId::uniqueSystemId("0123456789abcdef", "testhost"); }

// An arbitrary boot time in nanoseconds (2026-12-05 UTC), for the file ids
// of kernel modules, which name a boot of a system.
constexpr uint64_t kBoot = 1796497790000000000ULL;

// Equal fields give one instance: every kind read back from an archive is
// the instance it was written from (ArchiveRoundTripReinternsEveryKind), and
// so are contexts interned from many threads at once.
TEST(QVIdentifierTest, AnyDifferingFieldMakesAnotherIdentifier) {
  const QVSystemId system = TestSystem();
  const QVProcessId process = QVProcessId::uniqueProcessId(system, 1200, 1000);
  const QVThreadId thread = QVThreadId::uniqueThreadId(process, 1234, 2000);
  const QVContext context = QVContext::uniqueContext(thread, 1, QVContext::StateUser);
  // The start time tells apart a reused pid.
  EXPECT_NE(QVProcessId::uniqueProcessId(system, 1200, 1001), process);
  EXPECT_NE(QVProcessId::uniqueProcessId(QVSystemId::uniqueSystemId("other", "testhost"), 1200, 1000), process);
  EXPECT_NE(QVThreadId::uniqueThreadId(process, 1234, 0), thread);
  EXPECT_NE(QVContext::uniqueContext(thread, 1, QVContext::StateSupervisor), context);
  EXPECT_NE(QVContext::uniqueContext(thread, 0, QVContext::StateUser), context);
  EXPECT_NE(QVSystemId::uniqueSystemId("0123456789abcdef", "renamed"), system);
  EXPECT_NE(QVDiskId::uniqueDiskId(system, "sda"), QVDiskId::uniqueDiskId(system, "sdb"));
  EXPECT_NE(QVNetworkId::uniqueNetworkId(system, "eth0"), QVNetworkId::uniqueNetworkId(TestSystem(), "eth1"));
}

TEST(QVIdentifierTest, EachLevelReachesItsOwnersDefaultsAreInvalidAndAllPrintReadably) {
  const QVSystemId system = TestSystem();
  const QVProcessId process = QVProcessId::uniqueProcessId(system, 1200, 0xabcdef);
  const QVThreadId thread = QVThreadId::uniqueThreadId(process, 1234, 77);
  const QVContext context = QVContext::uniqueContext(thread, 5, QVContext::StateSupervisor);
  EXPECT_EQ(std::make_tuple(process, system, 1234, uint64_t{77}),
            std::make_tuple(thread.asProcessId(), thread.asSystemId(), thread.nativeIdentifier(), thread.order()));
  EXPECT_EQ(std::make_tuple(thread, process, system, 5, int{QVContext::StateSupervisor}),
            std::make_tuple(context.threadId(), context.asProcessId(), context.asSystemId(),
                            context.processorIndex(), int{context.state()}));
  EXPECT_EQ(std::make_tuple(system, 1200, uint64_t{0xabcdef}),
            std::make_tuple(process.asSystemId(), process.nativeIdentifier(), process.order()));
  EXPECT_EQ(QVProcessorId::uniqueProcessorId(system, 3).asSystemId(), system);
  EXPECT_EQ(QVNetworkId::uniqueNetworkId(system, "lo").asSystemId(), system);

  // Defaults are the invalid identifiers and answer neutrally down the chain.
  EXPECT_FALSE(QVSystemId().isValid() || QVProcessId().isValid() || QVThreadId().isValid() ||
               QVContext().isValid() || QVFileId().isValid());
  EXPECT_EQ(QVProcessId(), QVProcessId::invalid());
  EXPECT_EQ(QVContext(), QVContext::invalid());
  EXPECT_EQ(QVThreadId().nativeIdentifier(), -1);
  EXPECT_FALSE(QVThreadId().asProcessId().isValid());
  EXPECT_FALSE(QVContext().asSystemId().isValid());
  EXPECT_EQ(QVContext().processorIndex(), -1);
  EXPECT_EQ(Text(QVProcessId()), "invalid process id");
  EXPECT_EQ(Text(QVContext()), "invalid context");
  EXPECT_EQ(Text(QVDiskId()), "invalid disk id");
  // A thread of an invalid process is still a valid (if odd) identifier.
  EXPECT_TRUE(QVThreadId::uniqueThreadId(QVProcessId(), 1, 0).isValid());

  EXPECT_EQ(Text(TestSystem()), "system testhost");
  EXPECT_EQ(Text(QVSystemId::uniqueSystemId("machine-only", "")), "system machine-only");
  EXPECT_EQ(Text(process), "pid 1200");
  EXPECT_EQ(Text(thread), "tid 1234 of pid 1200");
  EXPECT_EQ(Text(QVContext::uniqueContext(QVThreadId::uniqueThreadId(process, 5, 0), 1, 1)), "context tid 5 cpu 1 user");
  EXPECT_EQ(Text(QVContext::uniqueContext(thread, 0, 2)), "context tid 1234 cpu 0 supervisor");
  EXPECT_EQ(Text(QVContext::uniqueContext(thread, 0, 3)), "context tid 1234 cpu 0 state 3");
  EXPECT_EQ(Text(QVFileId::uniqueFileId("/lib/x.so")), "/lib/x.so");
  EXPECT_EQ(Text(QVProcessorId::uniqueProcessorId(TestSystem(), 2)), "cpu 2");
  EXPECT_EQ(Text(QVDiskId::uniqueDiskId(TestSystem(), "sda")), "disk sda");
  EXPECT_EQ(Text(QVNetworkId::uniqueNetworkId(TestSystem(), "eth0")), "network eth0");
}

TEST(QVIdentifierTest, PerBootFileIdIsNameSystemAndBootWhichOrderAndDescribeIt) {
  const QVSystemId alpha = QVSystemId::uniqueSystemId("id-alpha", "alpha");
  const QVFileId module = QVFileId::uniqueFileId(alpha, "ext4", kBoot);
  EXPECT_EQ(module, QVFileId::uniqueFileId(alpha, "ext4", kBoot));
  EXPECT_NE(module, QVFileId::uniqueFileId(alpha, "ext4", kBoot + 1));
  EXPECT_NE(module, QVFileId::uniqueFileId(QVSystemId::uniqueSystemId("id-beta", "beta"), "ext4", kBoot));
  // A file that happens to be called like the module is another thing.
  EXPECT_NE(module, QVFileId::uniqueFileId("ext4"));
  EXPECT_EQ(std::make_tuple(module.path(), module.systemId(), module.time()), std::make_tuple("ext4", alpha, kBoot));

  const QVFileId file = QVFileId::uniqueFileId("/lib/x.so");
  EXPECT_FALSE(file.systemId().isValid());
  EXPECT_EQ(file.time(), 0u);
  // Without a system or a boot, there is nothing but the name.
  EXPECT_EQ(QVFileId::uniqueFileId(QVSystemId(), "/lib/x.so", 0), file);

  // Ordering separates boots of one name, and the description names the boot.
  const QVFileId late = QVFileId::uniqueFileId(alpha, "ext4", kBoot + 1);
  EXPECT_TRUE(module < late);
  EXPECT_FALSE(late < module);
  EXPECT_TRUE(QVFileId::uniqueFileId("ext4") < module);
  EXPECT_TRUE(module < QVFileId::uniqueFileId("ext5"));
  EXPECT_EQ(Text(QVFileId::uniqueFileId(alpha, "ext4", 0x10)), "ext4 [system alpha, boot 0x10]");
}

TEST(QVIdentifierTest, OrderingFollowsFieldValuesNotCreationOrder) {
  const QVSystemId alpha = QVSystemId::uniqueSystemId("order-a", "a");
  const QVSystemId beta = QVSystemId::uniqueSystemId("order-b", "b");
  // Created in an order unrelated to the fields, so an ordering by record
  // address would come out differently.
  std::vector<QVProcessId> processes = {
      QVProcessId::uniqueProcessId(beta, 1, 0),   QVProcessId::uniqueProcessId(alpha, 300, 5),
      QVProcessId::uniqueProcessId(alpha, 20, 0), QVProcessId::uniqueProcessId(alpha, 300, 2),
      QVProcessId(),
  };
  std::sort(processes.begin(), processes.end());
  const std::vector<QVProcessId> expected = {
      QVProcessId(),
      QVProcessId::uniqueProcessId(alpha, 20, 0),
      QVProcessId::uniqueProcessId(alpha, 300, 2),
      QVProcessId::uniqueProcessId(alpha, 300, 5),
      QVProcessId::uniqueProcessId(beta, 1, 0),
  };
  EXPECT_EQ(processes, expected);

  const QVThreadId t9 = QVThreadId::uniqueThreadId(expected[1], 9, 0);
  const QVThreadId t10 = QVThreadId::uniqueThreadId(expected[1], 10, 0);
  std::vector<QVContext> contexts = {
      QVContext::uniqueContext(t10, 0, 1), QVContext::uniqueContext(t9, 1, 2), QVContext::uniqueContext(t9, 1, 1),
      QVContext::uniqueContext(t9, 0, 2)};
  std::sort(contexts.begin(), contexts.end());
  EXPECT_EQ(contexts, (std::vector<QVContext>{QVContext::uniqueContext(t9, 0, 2), QVContext::uniqueContext(t9, 1, 1),
                                              QVContext::uniqueContext(t9, 1, 2), QVContext::uniqueContext(t10, 0, 1)}));
  for (const QVContext& a : contexts) {
    EXPECT_FALSE(a < a);
    for (const QVContext& b : contexts) {
      EXPECT_FALSE(a < b && b < a);
    }
  }
  EXPECT_LT(QVFileId::uniqueFileId("/a"), QVFileId::uniqueFileId("/b"));
  EXPECT_LT(QVProcessorId::uniqueProcessorId(alpha, 2), QVProcessorId::uniqueProcessorId(alpha, 10));
  EXPECT_LT(QVDiskId::uniqueDiskId(alpha, "sdb"), QVDiskId::uniqueDiskId(beta, "sda"));
}

TEST(QVIdentifierTest, ThreadsInterningOverlappingKeysGetIdenticalInstances) {
  constexpr int kThreads = 8;
  constexpr int kKeys = 2000;
  const QVProcessId process = QVProcessId::uniqueProcessId(QVSystemId::uniqueSystemId("concurrency", "c"), 1, 0);
  std::vector<std::vector<const void*>> seen(kThreads, std::vector<const void*>(kKeys));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the keys from a different starting point so that
      // first creations are spread over all threads.
      for (int n = 0; n < kKeys; ++n) {
        const int key = (n + t * (kKeys / kThreads)) % kKeys;
        const QVThreadId thread = QVThreadId::uniqueThreadId(process, key / 4, 0);
        seen[t][key] = QVContext::uniqueContext(thread, key % 4, 1).archiveIdentity();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  std::unordered_set<const void*> distinct;
  for (int key = 0; key < kKeys; ++key) {
    for (int t = 1; t < kThreads; ++t) {
      ASSERT_EQ(seen[t][key], seen[0][key]) << "key " << key << " thread " << t;
    }
    distinct.insert(seen[0][key]);
    const QVContext context = QVContext::uniqueContext(QVThreadId::uniqueThreadId(process, key / 4, 0), key % 4, 1);
    EXPECT_EQ(context.archiveIdentity(), seen[0][key]);
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kKeys));
}

// Writes every identifier kind into one document and reads it back.
TEST(QVIdentifierTest, ArchiveRoundTripReinternsEveryKind) {
  const QVSystemId system = TestSystem();
  const QVProcessId process = QVProcessId::uniqueProcessId(system, 4321, 0x1122334455667788ULL);
  const QVThreadId thread = QVThreadId::uniqueThreadId(process, 4322, 99);
  const QVContext context = QVContext::uniqueContext(thread, 7, QVContext::StateSupervisor);
  const QVFileId file = QVFileId::uniqueFileId("/opt/app/lib <odd> & name.so");
  const QVFileId module = QVFileId::uniqueFileId(system, "nf_nat", kBoot);
  const QVProcessorId processor = QVProcessorId::uniqueProcessorId(system, 11);
  const QVDiskId disk = QVDiskId::uniqueDiskId(system, "sdc");
  const QVNetworkId network = QVNetworkId::uniqueNetworkId(system, "wlan0");

  const std::string document = test::ArchiveList("Ids", [&](QVArchiver& archiver) {
    archiver.encodeObject(context, "Context");
    archiver.encodeObject(file, "FileId");
    archiver.encodeObject(module, "FileId");
    archiver.encodeObject(processor, "ProcessorId");
    archiver.encodeObject(disk, "DiskId");
    archiver.encodeObject(network, "NetworkId");
    archiver.encodeObject(QVThreadId(), "Invalid");
  });
  // The system is nested under the context and referred to by the others;
  // a file id without a system or boot writes neither.
  EXPECT_EQ(Count(document, "<Identifier>"), 1u) << document;
  EXPECT_EQ(Count(document, "<SystemId"), 5u) << document;
  EXPECT_NE(document.find("0x18ee7138c4b96c00"), std::string::npos) << "kBoot in hex\n" << document;
  EXPECT_NE(document.find("<Pid>4321</Pid>"), std::string::npos) << document;
  EXPECT_NE(document.find("<Order>0x1122334455667788</Order>"), std::string::npos) << document;
  EXPECT_NE(document.find("<State>2</State>"), std::string::npos) << document;

  test::UnarchiveList(document, "Ids", [&](QVUnarchiver& unarchiver) {
    std::shared_ptr<QVContext> decodedContext = DecodeObject<QVContext>(unarchiver, "Context");
    EXPECT_EQ(*decodedContext, context);
    EXPECT_EQ(decodedContext->threadId(), thread);
    EXPECT_EQ(decodedContext->asProcessId().order(), 0x1122334455667788ULL);
    EXPECT_EQ(*DecodeObject<QVFileId>(unarchiver, "FileId"), file);
    EXPECT_EQ(*DecodeObject<QVFileId>(unarchiver, "FileId"), module);
    EXPECT_EQ(*DecodeObject<QVProcessorId>(unarchiver, "ProcessorId"), processor);
    EXPECT_EQ(*DecodeObject<QVDiskId>(unarchiver, "DiskId"), disk);
    EXPECT_EQ(*DecodeObject<QVNetworkId>(unarchiver, "NetworkId"), network);
    EXPECT_FALSE(DecodeObject<QVThreadId>(unarchiver, "Invalid")->isValid());
  });
}

}  // namespace
}  // namespace Quorvel
