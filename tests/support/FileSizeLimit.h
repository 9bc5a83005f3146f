// Sets the process's file-size limit (the soft RLIMIT_FSIZE) for the scope,
// so that a write fills "the disk" in the middle of a file: beyond the
// limit write() fails with EFBIG. SIGXFSZ is ignored meanwhile, or it would
// end the process.
#ifndef VEXA_TESTS_FILESIZELIMIT_H
#define VEXA_TESTS_FILESIZELIMIT_H

#include <sys/resource.h>

#include <csignal>

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &mSaved);
        mHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = mSaved;
        limit.rlim_cur = bytes;
        mActive = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &mSaved);
        std::signal(SIGXFSZ, mHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return mActive; }

private:
    rlimit mSaved{};
    void (*mHandler)(int) = nullptr;
    bool mActive = false;
};

#endif
