// The frozen texts: each one that a trace can bring out is pinned by at
// least one golden case, so that a text changed here (or a new one without a
// case) shows up at once. The internal errors, which no trace reaches, are
// pinned by the engines' death tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "frozen_texts.h"

namespace {

// Every expected output of the golden cases, one after the other.
std::string goldenTexts() {
    std::string all;
    const std::filesystem::path root = KEL_SOURCE_DIR;
    for (const auto& folder : {root / "tests/analyzer/cases", root / "tests/e2e/cases"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            all += text.str();
        }
    }
    return all;
}

TEST(FrozenTexts, EachIsPinnedByAGoldenCase) {
    const std::string golden = goldenTexts();
    ASSERT_FALSE(golden.empty());
    const std::vector<std::pair<const char*, frozen::Text>> texts = {
        {"frozen::by", frozen::by},
        {"frozen::at", frozen::at},
        {"frozen::usedBy", frozen::usedBy},
        {"frozen::torSeparator", frozen::torSeparator},
        {"frozen::tag::releaseChunks", frozen::tag::releaseChunks},
        {"frozen::tag::releaseVerdict", frozen::tag::releaseVerdict},
        {"frozen::tag::operatorFormat", frozen::tag::operatorFormat},
        {"frozen::tag::operatorDomain", frozen::tag::operatorDomain},
        {"frozen::tag::operatorVerdict", frozen::tag::operatorVerdict},
        {"frozen::tag::reallocSize", frozen::tag::reallocSize},
        {"frozen::tag::reallocFromBad", frozen::tag::reallocFromBad},
        {"frozen::tag::reallocNotSupported", frozen::tag::reallocNotSupported},
        {"frozen::tag::reallocVerdict", frozen::tag::reallocVerdict},
        {"frozen::zeroAlloc", frozen::zeroAlloc},
        {"frozen::alreadyAllocated::head", frozen::alreadyAllocated::head},
        {"frozen::alreadyAllocated::from", frozen::alreadyAllocated::from},
        {"frozen::alreadyAllocated::at", frozen::alreadyAllocated::at},
        {"frozen::alreadyAllocated::marked", frozen::alreadyAllocated::marked},
        {"frozen::neverUsed::head", frozen::neverUsed::head},
        {"frozen::neverUsed::allocatedAt", frozen::neverUsed::allocatedAt},
        {"frozen::neverUsed::tail", frozen::neverUsed::tail},
        {"frozen::freeInterior::head", frozen::freeInterior::head},
        {"frozen::freeInterior::inside", frozen::freeInterior::inside},
        {"frozen::freeInterior::offset", frozen::freeInterior::offset},
        {"frozen::freeInterior::allocatedAt", frozen::freeInterior::allocatedAt},
        {"frozen::freeInterior::deallocatedAt", frozen::freeInterior::deallocatedAt},
        {"frozen::unallocatedFree::head", frozen::unallocatedFree::head},
        {"frozen::unallocatedFree::handle", frozen::unallocatedFree::handle},
        {"frozen::doubleFree::head", frozen::doubleFree::head},
        {"frozen::doubleFree::allocatedAt", frozen::doubleFree::allocatedAt},
        {"frozen::doubleFree::freedAt", frozen::doubleFree::freedAt},
        {"frozen::doubleFree::end", frozen::doubleFree::end},
        {"frozen::badHandleUse::head", frozen::badHandleUse::head},
        {"frozen::badHandleUse::usageBy", frozen::badHandleUse::usageBy},
        {"frozen::useInsideFreed::head", frozen::useInsideFreed::head},
        {"frozen::useInsideFreed::inside", frozen::useInsideFreed::inside},
        {"frozen::useInsideFreed::offset", frozen::useInsideFreed::offset},
        {"frozen::useInsideFreed::allocatedAt", frozen::useInsideFreed::allocatedAt},
        {"frozen::useInsideFreed::deallocatedAt", frozen::useInsideFreed::deallocatedAt},
        {"frozen::untrackedUse", frozen::untrackedUse},
        {"frozen::useAfterFree::head", frozen::useAfterFree::head},
        {"frozen::useAfterFree::allocatedAt", frozen::useAfterFree::allocatedAt},
        {"frozen::useAfterFree::deallocatedAt", frozen::useAfterFree::deallocatedAt},
        {"frozen::reallocUntracked::head", frozen::reallocUntracked::head},
        {"frozen::reallocUntracked::tail", frozen::reallocUntracked::tail},
        {"frozen::sameSizeRealloc::head", frozen::sameSizeRealloc::head},
        {"frozen::sameSizeRealloc::size", frozen::sameSizeRealloc::size},
        {"frozen::sameSizeRealloc::bytesAt", frozen::sameSizeRealloc::bytesAt},
        {"frozen::diedInside::head", frozen::diedInside::head},
        {"frozen::diedInside::open", frozen::diedInside::open},
        {"frozen::diedInside::closeAt", frozen::diedInside::closeAt},
        {"frozen::failedFree::head", frozen::failedFree::head},
        {"frozen::failedFree::tail", frozen::failedFree::tail},
        {"frozen::fork::head", frozen::fork::head},
        {"frozen::fork::tail", frozen::fork::tail},
        {"frozen::leak::head", frozen::leak::head},
        {"frozen::leak::from", frozen::leak::from},
        {"frozen::leak::allocatedAt", frozen::leak::allocatedAt},
        {"frozen::leak::neverOperated", frozen::leak::neverOperated},
        {"frozen::leak::notDeallocated", frozen::leak::notDeallocated},
        {"frozen::leak::bytes", frozen::leak::bytes},
        {"frozen::leak::zeroBytes", frozen::leak::zeroBytes},
        {"frozen::unexpectedData::head", frozen::unexpectedData::head},
        {"frozen::unexpectedData::end", frozen::unexpectedData::end},
        {"frozen::noHeader", frozen::noHeader},
        {"frozen::unknownTor::head", frozen::unknownTor::head},
        {"frozen::unknownTor::inDomain", frozen::unknownTor::inDomain},
        {"frozen::unknownTor::end", frozen::unknownTor::end},
        {"frozen::secondSize::head", frozen::secondSize::head},
        {"frozen::secondSize::butAllocator", frozen::secondSize::butAllocator},
        {"frozen::secondSize::tail", frozen::secondSize::tail},
        {"frozen::allocVerdict::head", frozen::allocVerdict::head},
        {"frozen::allocVerdict::atLine", frozen::allocVerdict::atLine},
        {"frozen::allocVerdict::end", frozen::allocVerdict::end},
        {"frozen::shortHandle", frozen::shortHandle},
        {"frozen::handlePrefix::head", frozen::handlePrefix::head},
        {"frozen::handlePrefix::end", frozen::handlePrefix::end},
        {"frozen::releaseChunks", frozen::releaseChunks},
        {"frozen::releaseVerdict", frozen::releaseVerdict},
        {"frozen::unexpectedValue::head", frozen::unexpectedValue::head},
        {"frozen::unexpectedValue::at", frozen::unexpectedValue::at},
        {"frozen::unexpectedValue::end", frozen::unexpectedValue::end},
        {"frozen::operatorFormat", frozen::operatorFormat},
        {"frozen::operatorDomain", frozen::operatorDomain},
        {"frozen::operatorVerdict", frozen::operatorVerdict},
        {"frozen::formatString::head", frozen::formatString::head},
        {"frozen::formatString::atLine", frozen::formatString::atLine},
        {"frozen::formatString::beforeTag", frozen::formatString::beforeTag},
        {"frozen::notSupported::first", frozen::notSupported::first},
        {"frozen::notSupported::head", frozen::notSupported::head},
        {"frozen::notSupported::atLine", frozen::notSupported::atLine},
        {"frozen::abnormalContent::head", frozen::abnormalContent::head},
        {"frozen::abnormalContent::atLine", frozen::abnormalContent::atLine},
    };
    for (const auto& [name, text] : texts) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(text.empty());
        EXPECT_NE(golden.find(text), std::string::npos) << "no golden case holds \"" << text << "\"";
    }
}

}  // namespace
