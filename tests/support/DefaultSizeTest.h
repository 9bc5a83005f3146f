// Base of test fixtures that change the library-wide default block size:
// the size is put back after each test.
#ifndef VEXA_TESTS_DEFAULTSIZETEST_H
#define VEXA_TESTS_DEFAULTSIZETEST_H

#include "SoundBuffer.h"

#include <gtest/gtest.h>

class DefaultSizeTest : public ::testing::Test {
protected:
    void SetUp() override { mSavedSize = SoundBuffer::getDefaultSize(); }
    void TearDown() override { SoundBuffer::setDefaultSize(mSavedSize); }

private:
    unsigned int mSavedSize = 0;
};

#endif
