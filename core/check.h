// The consistency check: conditions that hold for every input. A failure is a
// defect of the program; it unwinds to the encoder's entry point, which
// returns EncodeResult::CheckFailed and leaves the report to its caller.
#pragma once

#include <rle565/encode_result.h>

#include <utility>

namespace rle565 {

// Throws the CheckFailure; caught by catchCheckFailure.
[[noreturn]] void checkFailed(const char* file, int line, const char* text);

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
#define RLE_CHECK(cond, text)                                           \
    do {                                                                \
        if (!(cond)) ::rle565::checkFailed(__FILE__, __LINE__, (text)); \
    } while (0)
