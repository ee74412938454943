// Shared pieces of the native fuzz targets: a reader that turns the fuzzer's
// bytes into sizes and doubles (with the special values a numerical kernel
// must survive over-represented), exactly sized heap buffers so that
// AddressSanitizer sees the first element past the end, and a check that
// aborts with a message (libFuzzer then keeps the input as a crash).
#ifndef VLM_FUZZ_UTIL_H
#define VLM_FUZZ_UTIL_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

class Input {
public:
    Input(const uint8_t *data, size_t size) : fdp_(data, size) {}

    int64_t size(int64_t lo, int64_t hi) { return fdp_.ConsumeIntegralInRange<int64_t>(lo, hi); }
    bool flag() { return fdp_.ConsumeBool(); }
    uint8_t byte() { return fdp_.ConsumeIntegral<uint8_t>(); }
    // One in `k` chances (k >= 1) of being true.
    bool one_in(int k) { return fdp_.ConsumeIntegralInRange<int>(1, k) == 1; }

    // A double: mostly moderate values, sometimes a special or extreme one.
    double real() {
        static const double special[] = {0.0,
                                         -0.0,
                                         1.0,
                                         -1.0,
                                         0.5,
                                         2.0,
                                         1e-300,
                                         -1e-300,
                                         5e-324,
                                         1e300,
                                         -1e300,
                                         std::numeric_limits<double>::max(),
                                         -std::numeric_limits<double>::max(),
                                         HUGE_VAL,
                                         -HUGE_VAL,
                                         std::nan(""),
                                         1e154,
                                         1e-162,
                                         3.0,
                                         -7.25};
        const uint8_t kind = byte();
        if (kind < 24) return special[kind % (sizeof special / sizeof special[0])];
        if (kind < 32) {  // an arbitrary bit pattern
            const uint64_t bits = fdp_.ConsumeIntegral<uint64_t>();
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        return fdp_.ConsumeFloatingPointInRange<double>(-10.0, 10.0);
    }
    // A finite double in [-scale, scale].
    double finite(double scale) { return fdp_.ConsumeFloatingPointInRange<double>(-scale, scale); }

    // A size that is usually small but sometimes hostile (negative or huge).
    int64_t hostile_size(int64_t small_hi) {
        static const int64_t hostile[] = {0,
                                          -1,
                                          -2,
                                          INT64_MIN,
                                          INT64_MIN + 1,
                                          INT64_MAX,
                                          int64_t{1} << 62,
                                          int64_t{1} << 32,
                                          (int64_t{1} << 31) + 1,
                                          -(int64_t{1} << 62)};
        if (one_in(16)) return hostile[size(0, sizeof hostile / sizeof hostile[0] - 1)];
        return size(0, small_hi);
    }

    bool empty() { return fdp_.remaining_bytes() == 0; }

private:
    FuzzedDataProvider fdp_;
};

// A heap array of exactly `count` elements, so any access past the end is
// reported by AddressSanitizer.
template <class T>
class Buffer {
public:
    explicit Buffer(size_t count) : count_(count) {
        // Under AddressSanitizer malloc(0) gives a pointer through which any
        // access is reported, which is what an empty buffer should be.
        ptr_ = static_cast<T *>(std::malloc(count * sizeof(T)));
        FUZZ_CHECK(ptr_ != nullptr);
    }
    ~Buffer() { std::free(ptr_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    T *data() { return ptr_; }
    const T *data() const { return ptr_; }
    size_t size() const { return count_; }
    T &operator[](size_t i) { return ptr_[i]; }
    const T &operator[](size_t i) const { return ptr_[i]; }
    void fill_bytes(uint8_t b) { std::memset(ptr_, b, count_ * sizeof(T)); }
    bool same_bytes(const Buffer &o) const {
        return count_ == o.count_ &&
               (count_ == 0 || std::memcmp(ptr_, o.ptr_, count_ * sizeof(T)) == 0);
    }

private:
    T *ptr_;
    size_t count_;
};

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

#endif  // VLM_FUZZ_UTIL_H
