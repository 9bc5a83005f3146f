// The kernels run in the real-time playback path: filtering must not
// allocate. Counted by replacing the global allocation functions of this
// test program (not under the address sanitizer, which has its own).
#include "TestSignals.h"

#include "BiquadClipFilter.h"
#include "BiquadEqBuilder.h"
#include "Order1FilterBuilder.h"
#include "SoundFilter.h"
#include "WeightingFilterBuilder.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VEXA_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXA_COUNT_ALLOCATIONS 0
#else
#define VEXA_COUNT_ALLOCATIONS 1
#endif
#else
#define VEXA_COUNT_ALLOCATIONS 1
#endif

#if VEXA_COUNT_ALLOCATIONS
namespace {
std::atomic<long> gAllocations{0};
}

void* operator new(std::size_t n)
{
    ++gAllocations;
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

TEST(FilterKernel, FilteringDoesNotAllocate)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    std::vector<std::shared_ptr<SoundTools::Filter>> kernels{
        SoundTools::BiquadEqBuilder(SoundTools::BandEq, 1000, 1, 6).buildFilter(44100),
        SoundTools::BiquadEqBuilder(SoundTools::BandEq, 1000, 1, 6).buildClipFilter(44100, 4.0),
        SoundTools::Order1FilterBuilder(SoundTools::LowPass, 500).buildFilter(44100),
        SoundTools::WeightingFilterBuilder().buildFilter(44100),
        std::make_shared<SoundTools::Filter>(std::valarray<double>{0.1, 0.2, 0.3, 0.4}, std::valarray<double>{1.0, 0.1})};
    auto in = testsignals::noiseFrames(4096, 40);
    std::vector<SoundTools::StereoFrame<double>> out(in.size());
    kernels[1]->setGain(8.0);
    // The counter works: a kernel copy allocates its arrays. Under valgrind,
    // whose allocator replaces this program's, nothing can be counted.
    const long probe = gAllocations.load();
    { SoundTools::Filter copy(*kernels[0]); }
    if (gAllocations.load() == probe)
        GTEST_SKIP() << "operator new is replaced (valgrind): allocations cannot be counted";
    const long before = gAllocations.load();
    for (auto& k : kernels)
        for (int rep = 0; rep < 3; ++rep)
            k->filter(in.data(), out.data(), static_cast<unsigned int>(in.size()));
    EXPECT_EQ(gAllocations.load() - before, 0);
}
#endif
