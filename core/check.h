// The consistency check: conditions that hold for every input. A failure is a
// defect of the program; it unwinds to the encoder's entry point, which
// returns EncodeResult::CheckFailed and leaves the report to its caller.
#pragma once

#include <rle565/encode_result.h>

#include <utility>

namespace rle565 {

// Throws the CheckFailure; caught by catchCheckFailure.
[[noreturn]] void checkFailed(const char* file, int line, const char* text);

#ifdef RLE565_FAULT_INJECTION
// Test builds only, as no input makes a check fail: the nth check run from
// now on fails whatever its condition, and reports its own place and text
// (0: none is made to fail).
void failCheckAt(int n);

// Counts one check run; true for the one failCheckAt() named.
bool isCheckMadeToFail();
#endif

// Runs an encoder's body, turning a failed check into CheckFailed (with the
// check in *failure when given). Output files unwind with the body and are
// removed, as for any other failure.
template <class Body>
auto catchCheckFailure(CheckFailure* failure, Body&& body) -> decltype(body()) {
    try {
        return std::forward<Body>(body)();
    } catch (const CheckFailure& caught) {
        if (failure) *failure = caught;
        return EncodeResult::CheckFailed;
    }
}

}  // namespace rle565

// The text is reported as written, so it is a literal rather than #cond:
// reformatting the condition must not change the program's output.
#define RLE_CHECK(cond, text)                                  \
    do {                                                       \
        if (!(cond) || RLE565_CHECK_MADE_TO_FAIL())            \
            ::rle565::checkFailed(__FILE__, __LINE__, (text)); \
    } while (0)

// Test builds count each check run; in all others no check is made to fail.
#ifdef RLE565_FAULT_INJECTION
#define RLE565_CHECK_MADE_TO_FAIL() ::rle565::isCheckMadeToFail()
#else
#define RLE565_CHECK_MADE_TO_FAIL() false
#endif
