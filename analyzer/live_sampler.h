// The live resources over a replay, for the HTML report's chart: per domain
// the number of live handles and their bytes, sampled over the record
// numbers. The engines report every change of a live set (allocated,
// released, resized) and the replay reports every record it begins; the
// sampler exists only when --html asks for it.
//
// The record count is not known in advance (a --sock trace arrives while the
// program runs), so the samples are a fixed number of buckets of equal width:
// each record goes into the current bucket, and when all buckets are full,
// neighbouring pairs merge and the width doubles. A trace of N records
// therefore ends with min(N, about B/2 to B) samples, evenly spaced, and each
// sample keeps the minimum and maximum of its records, so that no peak or dip
// disappears however long the trace is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class LiveSampler {
public:
    static constexpr std::size_t kDefaultBuckets = 2000;

    // What one sample says about one quantity of one domain: its least and
    // greatest value after any record of the sample (and while a record
    // changed it), and its value after the sample's last record.
    struct Range {
        std::uint64_t min = 0, max = 0, last = 0;
    };

    // buckets: even, at least 2.
    explicit LiveSampler(std::size_t domains, std::size_t buckets = kDefaultBuckets);

    // A record begins; the changes that follow belong to it.
    void nextRecord() {
        if (++records_ > bucketEnd_) openBucket();
    }

    void allocated(std::size_t domain, std::uint64_t bytes) {
        Live& l = live_[domain];
        change(domain, l.handles + 1, l.bytes + bytes);
    }
    void released(std::size_t domain, std::uint64_t bytes) {
        Live& l = live_[domain];
        change(domain, l.handles - 1, l.bytes - bytes);
    }
    void resized(std::size_t domain, std::uint64_t from, std::uint64_t to) {
        Live& l = live_[domain];
        change(domain, l.handles, l.bytes - from + to);
    }

    // Closes the last sample; call once, after the replay.
    void finish();

    std::size_t domains() const { return live_.size(); }
    std::uint64_t records() const { return records_; }
    // Records per sample (the last sample may hold fewer).
    std::uint64_t width() const { return width_; }
    std::size_t samples() const { return used_; }
    const Range& handles(std::size_t sample, std::size_t domain) const { return at(sample, domain, 0); }
    const Range& bytes(std::size_t sample, std::size_t domain) const { return at(sample, domain, 1); }

private:
    struct Bounds {
        std::uint64_t min = 0, max = 0;
    };
    // A domain's live set now, and its bounds so far in the open bucket.
    struct Live {
        std::uint64_t handles = 0, bytes = 0;
        Bounds handleBounds, byteBounds;
        std::uint64_t resetIn = 0;  // the bucket (by opened_) whose first record reset the bounds
    };

    static void widen(Bounds& b, std::uint64_t value) {
        if (value < b.min) b.min = value;
        if (value > b.max) b.max = value;
    }
    // The bounds start, when a bucket opens, at the value after the previous
    // record: it is also the value after the bucket's first record unless
    // that record changes it, and then it belongs to the bucket before.
    void change(std::size_t domain, std::uint64_t handles, std::uint64_t bytes) {
        Live& l = live_[domain];
        l.handles = handles;
        l.bytes = bytes;
        if (records_ == bucketFirst_ && l.resetIn != opened_) {
            l.resetIn = opened_;
            l.handleBounds = {handles, handles};
            l.byteBounds = {bytes, bytes};
            return;
        }
        widen(l.handleBounds, handles);
        widen(l.byteBounds, bytes);
    }
    void openBucket();
    void closeBucket();
    void mergePairs();
    Range& at(std::size_t sample, std::size_t domain, int quantity) {
        return ranges_[(sample * live_.size() + domain) * 2 + quantity];
    }
    const Range& at(std::size_t sample, std::size_t domain, int quantity) const {
        return ranges_[(sample * live_.size() + domain) * 2 + quantity];
    }

    std::vector<Live> live_;
    std::vector<Range> ranges_;  // [bucket][domain][handles, bytes]
    std::size_t buckets_;
    std::size_t used_ = 0;           // buckets opened so far; the last one is open until finish()
    std::uint64_t records_ = 0;      // records begun
    std::uint64_t width_ = 1;
    std::uint64_t bucketFirst_ = 0;  // the first record of the open bucket
    std::uint64_t bucketEnd_ = 0;    // the last record the open bucket takes
    std::uint64_t opened_ = 0;       // buckets opened over the run, merges or not
    bool finished_ = false;
};
