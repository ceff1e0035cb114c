#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "QVProfiledEventQueue.h"

using namespace Quorvel;

namespace {

std::vector<unsigned char> unitOfWords(size_t words) { return std::vector<unsigned char>(words * 8, 0xab); }

}  // namespace

TEST(QVProfiledEventQueue, DeliversWholeUnitsAndCountsWhatDoesNotFit) {
    QVProfiledEventQueue queue(10, 8);  // room for 10 words
    EXPECT_TRUE(queue.push(unitOfWords(4)));
    EXPECT_TRUE(queue.push(unitOfWords(4)));
    EXPECT_FALSE(queue.push(unitOfWords(4)));  // 12 > 10: lost
    EXPECT_EQ(queue.lostUnits(), 1u);
    // A full queue still takes the notice that sampling ended.
    queue.pushNotice(unitOfWords(3));
    EXPECT_EQ(queue.lostUnits(), 1u);
    EXPECT_EQ(queue.queuedWords(), 11u);
    queue.release();
    std::vector<unsigned char> out(6 * 8);
    // Room for six words takes one four-word unit, never a part of the next.
    EXPECT_EQ(queue.read(out.data(), out.size()), 32u);
    EXPECT_EQ(queue.read(out.data(), out.size()), 32u);
    EXPECT_EQ(queue.read(out.data(), out.size()), 24u);
    EXPECT_EQ(queue.read(out.data(), out.size()), 0u);
}

TEST(QVProfiledEventQueue, AUnitLargerThanAnyReadIsDroppedNotDeliveredEmpty) {
    QVProfiledEventQueue queue(100, 8);
    queue.push(unitOfWords(20));
    queue.push(unitOfWords(2));
    queue.release();
    std::vector<unsigned char> out(4 * 8);
    EXPECT_EQ(queue.read(out.data(), out.size()), 16u);
    EXPECT_EQ(queue.lostUnits(), 1u);
}

TEST(QVProfiledEventQueue, ReadWaitsForDataUntilReleased) {
    QVProfiledEventQueue queue(100, 8);
    std::vector<unsigned char> out(64);
    size_t got = 99;
    std::thread reader([&] { got = queue.read(out.data(), out.size()); });
    queue.push(unitOfWords(1));
    reader.join();
    EXPECT_EQ(got, 8u);
    std::thread waiting([&] { got = queue.read(out.data(), out.size()); });
    queue.release();
    waiting.join();
    EXPECT_EQ(got, 0u);
}
