// A minimal check harness for the Windows test programs: each CHECK counts
// as passed or failed, a failure prints where and what, and the program ends
// with the line "N passed, M failed" and a non-zero status on any failure.
#pragma once

#include <cstdio>
#include <cstring>

namespace wintest {

inline int passed = 0;
inline int failed = 0;
inline const char* group = "";

inline void check(bool ok, const char* what, const char* file, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL [%s] %s:%d: %s\n", group, file, line, what);
        std::fflush(stdout);
    }
}

template <typename A, typename B>
void checkEqual(const A& actual, const B& expected, const char* what, const char* file,
                int line) {
    bool ok = actual == expected;
    check(ok, what, file, line);
    if (!ok) {
        std::printf("    got %lld, expected %lld\n", static_cast<long long>(actual),
                    static_cast<long long>(expected));
        std::fflush(stdout);
    }
}

inline void checkText(const char* actual, const char* expected, const char* what,
                      const char* file, int line) {
    bool ok = actual != nullptr && std::strcmp(actual, expected) == 0;
    check(ok, what, file, line);
    if (!ok) {
        std::printf("    got \"%s\", expected \"%s\"\n", actual ? actual : "(null)", expected);
        std::fflush(stdout);
    }
}

inline int finish() {
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace wintest

#define CHECK(cond) ::wintest::check((cond), #cond, __FILE__, __LINE__)
#define CHECK_EQ(actual, expected) \
    ::wintest::checkEqual((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
#define CHECK_TEXT(actual, expected) \
    ::wintest::checkText((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
