#include "base/QVErrorManager.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace Quorvel {
namespace {

using Ids = std::vector<std::string>;

TEST(QVErrorManagerTest, KeepsEachIdOnceInTheOrderFirstSetAppendsOnlyMissingIdsAndCopiesAreIndependent) {
  QVErrorManager manager;
  manager.setWarningId("QVSamplerWarningBufferOverflow");
  manager.setErrorId("QVSamplerErrorNoDriver");
  manager.setWarningId("QVSamplerWarningLostSamples");
  manager.setWarningId("QVSamplerWarningBufferOverflow");
  manager.setErrorId("QVSamplerErrorNoDriver");

  EXPECT_EQ(manager.errorCount(), 1u);
  EXPECT_EQ(manager.warningCount(), 2u);
  EXPECT_EQ(manager.warningIds(), (Ids{"QVSamplerWarningBufferOverflow", "QVSamplerWarningLostSamples"}));
  EXPECT_EQ(manager.errorIds(), (Ids{"QVSamplerErrorNoDriver"}));
  EXPECT_TRUE(manager.testWarningId("QVSamplerWarningLostSamples"));
  EXPECT_TRUE(manager.testErrorId("QVSamplerErrorNoDriver"));
  // Errors and warnings are separate lists even for the same text.
  EXPECT_FALSE(manager.testErrorId("QVSamplerWarningLostSamples"));
  EXPECT_FALSE(manager.testWarningId("QVSamplerErrorNoDriver"));

  manager.clear();
  EXPECT_EQ(manager.errorCount(), 0u);
  EXPECT_EQ(manager.warningCount(), 0u);
  EXPECT_FALSE(manager.testWarningId("QVSamplerWarningBufferOverflow"));

  // Appending adds only the missing ids, after the existing ones.
  QVErrorManager session;
  session.setErrorId("E1");
  session.setWarningId("W1");
  QVErrorManager recording;
  recording.setErrorId("E2");
  recording.setErrorId("E1");
  recording.setWarningId("W2");

  session += recording;
  EXPECT_EQ(session.errorIds(), (Ids{"E1", "E2"}));
  EXPECT_EQ(session.warningIds(), (Ids{"W1", "W2"}));
  EXPECT_EQ(recording.errorIds(), (Ids{"E2", "E1"})) << "the source is left alone";

  session += session;
  EXPECT_EQ(session.errorIds(), (Ids{"E1", "E2"}));

  // Copies are independent of their original.
  QVErrorManager original;
  original.setErrorId("E1");
  QVErrorManager copy(original);
  copy.setErrorId("E2");
  QVErrorManager assigned;
  assigned.setWarningId("W9");
  assigned = original;
  original.clear();

  EXPECT_EQ(copy.errorIds(), (Ids{"E1", "E2"}));
  EXPECT_EQ(assigned.errorIds(), (Ids{"E1"}));
  EXPECT_EQ(assigned.warningCount(), 0u);
  EXPECT_EQ(original.errorCount(), 0u);
}

TEST(QVErrorManagerTest, ThreadsSettingOverlappingIdsKeepEachOnce) {
  constexpr int kThreads = 4;
  constexpr int kIds = 50;
  QVErrorManager manager;
  QVErrorManager merged;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&manager, &merged, t] {
      for (int i = 0; i < kIds; ++i) {
        manager.setErrorId("E" + std::to_string(i));
        manager.setWarningId("W" + std::to_string((i + t) % kIds));
        if (i % 10 == 0) {
          // Copying and appending while others write must see whole lists.
          QVErrorManager snapshot(manager);
          merged += snapshot;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(manager.errorCount(), static_cast<size_t>(kIds));
  EXPECT_EQ(manager.warningCount(), static_cast<size_t>(kIds));
  for (const std::string& id : merged.errorIds()) {
    EXPECT_TRUE(manager.testErrorId(id)) << id;
  }
}

}  // namespace
}  // namespace Quorvel
