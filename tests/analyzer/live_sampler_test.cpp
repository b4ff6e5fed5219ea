// The sampler behind the HTML report's chart: one sample per record for a
// short trace, 1,000 to 2,000 evenly spaced samples for a long one, and the
// minimum and maximum of every sample kept through the merges.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "live_sampler.h"

// Beside Range (the global namespace), where gtest looks for them.
static bool operator==(const LiveSampler::Range& a, const LiveSampler::Range& b) {
    return a.min == b.min && a.max == b.max && a.last == b.last;
}
static std::ostream& operator<<(std::ostream& out, const LiveSampler::Range& r) {
    return out << "{min " << r.min << ", max " << r.max << ", last " << r.last << "}";
}

namespace {

using Range = LiveSampler::Range;

// Ten records of one sized domain, one sample each: the values after each
// record, worked out by hand.
TEST(LiveSampler, TenRecordsGiveTenSamplesOfOneRecord) {
    LiveSampler s(1);
    s.nextRecord();
    s.allocated(0, 10);  // 1: one block of 10
    s.nextRecord();
    s.allocated(0, 20);  // 2: two blocks, 30 bytes
    s.nextRecord();      // 3: a use changes nothing
    s.nextRecord();
    s.resized(0, 20, 50);  // 4: the second grows to 50
    s.nextRecord();
    s.released(0, 10);  // 5: one block of 50 left
    s.nextRecord();
    s.nextRecord();
    s.allocated(0, 0);  // 7: a zero-byte block
    s.nextRecord();
    s.released(0, 50);  // 8
    s.nextRecord();
    s.released(0, 0);  // 9: nothing live
    s.nextRecord();    // 10
    s.finish();

    ASSERT_EQ(s.records(), 10u);
    ASSERT_EQ(s.width(), 1u);
    ASSERT_EQ(s.samples(), 10u);
    const std::uint64_t handles[] = {1, 2, 2, 2, 1, 1, 2, 1, 0, 0};
    const std::uint64_t bytes[] = {10, 30, 30, 60, 50, 50, 50, 0, 0, 0};
    for (std::size_t i = 0; i < 10; ++i) {
        SCOPED_TRACE("record " + std::to_string(i + 1));
        EXPECT_EQ(s.handles(i, 0), (Range{handles[i], handles[i], handles[i]}));
        EXPECT_EQ(s.bytes(i, 0), (Range{bytes[i], bytes[i], bytes[i]}));
    }
}

TEST(LiveSampler, NoRecordGivesNoSample) {
    LiveSampler s(3);
    s.finish();
    EXPECT_EQ(s.records(), 0u);
    EXPECT_EQ(s.samples(), 0u);
}

// However many records, the samples are evenly spaced (a power-of-two width)
// and number at most 2,000, and at least 1,000 once there are that many.
TEST(LiveSampler, SampleCountAndWidthFollowTheRecordCount) {
    struct Case {
        std::uint64_t records, width, samples;
    };
    const Case cases[] = {
        {1, 1, 1},          {10, 1, 10},       {1999, 1, 1999},    {2000, 1, 2000},
        {2001, 2, 1001},    {4000, 2, 2000},   {4001, 4, 1001},    {5000, 4, 1250},
        {1000000, 512, 1954}, {10000000, 8192, 1221},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.records) + " records");
        LiveSampler s(1);
        for (std::uint64_t i = 0; i < c.records; ++i) s.nextRecord();
        s.finish();
        EXPECT_EQ(s.records(), c.records);
        EXPECT_EQ(s.width(), c.width);
        EXPECT_EQ(s.samples(), c.samples);
    }
}

// A brief peak and a brief dip in a million records each survive nine
// merges as the maximum and minimum of their sample; every other sample is
// flat.
TEST(LiveSampler, PeaksAndDipsSurviveTheMerges) {
    const std::uint64_t n = 1000000;
    LiveSampler s(2);
    for (std::uint64_t r = 1; r <= n; ++r) {
        s.nextRecord();
        if (r == 1) {
            s.allocated(0, 100);  // the base block
            s.allocated(1, 0);    // domain 1: one handle, held to the end
        }
        if (r == 500000) s.allocated(0, 4000);  // the peak lasts one record
        if (r == 500001) s.released(0, 4000);
        if (r == 700000) s.released(0, 100);  // the dip lasts one record
        if (r == 700001) s.allocated(0, 100);
    }
    s.finish();
    ASSERT_EQ(s.width(), 512u);
    ASSERT_EQ(s.samples(), 1954u);
    const std::size_t peak = (500000 - 1) / 512, dip = (700000 - 1) / 512;
    for (std::size_t i = 0; i < s.samples(); ++i) {
        SCOPED_TRACE("sample " + std::to_string(i));
        if (i == peak) {
            EXPECT_EQ(s.handles(i, 0), (Range{1, 2, 1}));
            EXPECT_EQ(s.bytes(i, 0), (Range{100, 4100, 100}));
        } else if (i == dip) {
            EXPECT_EQ(s.handles(i, 0), (Range{0, 1, 1}));
            EXPECT_EQ(s.bytes(i, 0), (Range{0, 100, 100}));
        } else {
            EXPECT_EQ(s.handles(i, 0), (Range{1, 1, 1}));
            EXPECT_EQ(s.bytes(i, 0), (Range{100, 100, 100}));
        }
        // A domain no record touches keeps its value in every sample.
        EXPECT_EQ(s.handles(i, 1), (Range{1, 1, 1}));
    }
}

// The value before a sample's first record belongs to the sample before it:
// a block allocated by a sample's last record and released by the next
// sample's first shows only in the earlier sample.
TEST(LiveSampler, AChangeAtASampleBoundaryBelongsToItsOwnRecord) {
    LiveSampler s(1, 4);  // four buckets: widths 1, 2, 4, ...
    // Eight records in samples of two: 1-2, 3-4, 5-6, 7-8.
    for (std::uint64_t r = 1; r <= 8; ++r) {
        s.nextRecord();
        if (r == 4) s.allocated(0, 8);
        if (r == 5) s.released(0, 8);
    }
    s.finish();
    ASSERT_EQ(s.width(), 2u);
    ASSERT_EQ(s.samples(), 4u);
    EXPECT_EQ(s.handles(0, 0), (Range{0, 0, 0}));
    EXPECT_EQ(s.handles(1, 0), (Range{0, 1, 1}));  // after record 3: 0, after 4: 1
    EXPECT_EQ(s.handles(2, 0), (Range{0, 0, 0}));  // after 5 and 6: 0
    EXPECT_EQ(s.handles(3, 0), (Range{0, 0, 0}));
}

// The same rule after a merge, when the samples are counted anew: record 4
// opened the fourth sample of width one, record 7 opens the fourth of width
// two, and each change belongs to its own record only.
TEST(LiveSampler, TheBoundaryRuleHoldsAfterAMerge) {
    LiveSampler s(1, 4);
    for (std::uint64_t r = 1; r <= 8; ++r) {
        s.nextRecord();
        if (r == 4 || r == 7) s.allocated(0, 1);
    }
    s.finish();
    ASSERT_EQ(s.width(), 2u);
    ASSERT_EQ(s.samples(), 4u);
    EXPECT_EQ(s.handles(0, 0), (Range{0, 0, 0}));  // records 1-2
    EXPECT_EQ(s.handles(1, 0), (Range{0, 1, 1}));  // 3-4
    EXPECT_EQ(s.handles(2, 0), (Range{1, 1, 1}));  // 5-6
    EXPECT_EQ(s.handles(3, 0), (Range{2, 2, 2}));  // 7-8
    EXPECT_EQ(s.bytes(3, 0), (Range{2, 2, 2}));
}

}  // namespace
