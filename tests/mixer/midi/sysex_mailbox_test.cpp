#include "mixer/midi/sysex_mailbox.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SysExMailbox, LatestMessageOnceAndWhole)
{
    Orvo::SysExMailbox box;
    const uint8_t* p = nullptr;
    uint32_t n = 0;
    EXPECT_FALSE(box.take(&p, &n));
    const uint8_t a[] = {0x80}, b[] = {0x81, 1, 2, 3, 4};
    box.put(a, sizeof a);
    box.put(b, sizeof b); // replaces the unread one
    EXPECT_FALSE(box.take(nullptr, &n));
    ASSERT_TRUE(box.take(&p, &n));
    EXPECT_EQ(Bytes(p, p + n), Bytes(b, b + sizeof b));
    EXPECT_FALSE(box.take(&p, &n));
}

TEST(SysExMailbox, ReaderNeverSeesAMixedMessage)
{
    Orvo::SysExMailbox box;
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            const Bytes m(1 + i % 300, static_cast<uint8_t>(i));
            box.put(m.data(), m.size());
        }
    });
    for (int i = 0; i < 20000; ++i) {
        const uint8_t* p;
        uint32_t n;
        if (box.take(&p, &n)) {
            for (uint32_t k = 1; k < n; ++k)
                ASSERT_EQ(p[k], p[0]);
        }
    }
    writer.join();
}

} // namespace
