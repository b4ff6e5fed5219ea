#include "live_sampler.h"

LiveSampler::LiveSampler(std::size_t domains, std::size_t buckets)
    : live_(domains), buckets_(buckets < 2 ? 2 : buckets & ~std::size_t(1)) {
    ranges_.resize(buckets_ * domains * 2);
}

void LiveSampler::openBucket() {
    if (used_ != 0) closeBucket();
    if (used_ == buckets_) mergePairs();
    ++used_;
    ++opened_;
    bucketFirst_ = records_;
    bucketEnd_ = used_ * width_;
    for (Live& l : live_) {
        l.handleBounds = {l.handles, l.handles};
        l.byteBounds = {l.bytes, l.bytes};
    }
}

void LiveSampler::closeBucket() {
    for (std::size_t d = 0; d < live_.size(); ++d) {
        const Live& l = live_[d];
        at(used_ - 1, d, 0) = Range{l.handleBounds.min, l.handleBounds.max, l.handles};
        at(used_ - 1, d, 1) = Range{l.byteBounds.min, l.byteBounds.max, l.bytes};
    }
}

void LiveSampler::mergePairs() {
    const std::size_t perBucket = live_.size() * 2;
    for (std::size_t b = 0; b < buckets_ / 2; ++b) {
        for (std::size_t i = 0; i < perBucket; ++i) {
            const Range& first = ranges_[2 * b * perBucket + i];
            const Range& second = ranges_[(2 * b + 1) * perBucket + i];
            Range merged;
            merged.min = first.min < second.min ? first.min : second.min;
            merged.max = first.max > second.max ? first.max : second.max;
            merged.last = second.last;
            ranges_[b * perBucket + i] = merged;
        }
    }
    used_ = buckets_ / 2;
    width_ *= 2;
}

void LiveSampler::finish() {
    if (!finished_ && used_ != 0) closeBucket();
    finished_ = true;
}
