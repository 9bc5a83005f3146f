#include "SoundAlgoComposite.h"

#include <gtest/gtest.h>

#include <utility>

// A composite holds one reference on each node pushed into it and drops it
// when it is deleted: the count of a child the test also holds tells
// whether the composite is still alive, without touching freed memory.
class SoundRefTest : public ::testing::Test {
protected:
    SoundAlgoComposite* newParent()
    {
        auto* parent = new SoundAlgoComposite(QStringLiteral("parent"));
        mChild->addRef();
        parent->pushAlgo(mChild);
        return parent;
    }
    int parentsAlive() const { return mChild->getRefCount() - 1; }
    void TearDown() override { mChild->release(); }

    SoundAlgoComposite* mChild = new SoundAlgoComposite(QStringLiteral("child"));
};

TEST_F(SoundRefTest, AdoptedReferenceIsReleasedOnce)
{
    {
        SoundRef<SoundAlgoComposite> ref(newParent());
        EXPECT_EQ(ref->getRefCount(), 1);
        EXPECT_EQ(parentsAlive(), 1);
    }
    EXPECT_EQ(parentsAlive(), 0);
}

TEST_F(SoundRefTest, CopiesMovesAndTake)
{
    SoundAlgoComposite* raw = newParent(); // the test's own reference
    {
        SoundRef<SoundAlgoComposite> a = SoundRef<SoundAlgoComposite>::shared(raw);
        EXPECT_EQ(raw->getRefCount(), 2);
        SoundRef<SoundAlgoComposite> b = a;
        EXPECT_EQ(raw->getRefCount(), 3);
        SoundRef<SoundAlgoComposite> c = std::move(b);
        EXPECT_EQ(raw->getRefCount(), 3);
        EXPECT_FALSE(b);
        c = SoundRef<SoundAlgoComposite>(newParent()); // the old reference goes
        EXPECT_EQ(raw->getRefCount(), 2);
        EXPECT_EQ(parentsAlive(), 2);
        SoundAlgoComposite* taken = c.take();
        EXPECT_FALSE(c);
        EXPECT_EQ(taken->getRefCount(), 1);
        taken->release();
        EXPECT_EQ(parentsAlive(), 1);
        a.reset();
        EXPECT_EQ(raw->getRefCount(), 1);
    }
    EXPECT_EQ(parentsAlive(), 1);
    raw->release();
    EXPECT_EQ(parentsAlive(), 0);
}
