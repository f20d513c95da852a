// Loading test files through streams: from a pipe, which cannot tell its
// length up front, as FIFOs and shell pipelines hand files over.
#pragma once

#include <rle565/image.h>
#include <rle565/load.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "temp_dir.h"

// A load's image, or the text of its failure.
struct Loaded {
    std::unique_ptr<rle565::Image> image;
    std::string error;
};

inline Loaded loadStream(std::FILE* stream) {
    rle565::ErrorText errorText{};
    Loaded result;
    result.image = rle565::loadImageFromStream(stream, errorText);
    if (!result.image) result.error = errorText.data();
    return result;
}

inline Loaded loadPiped(const Bytes& file) {
    int fds[2];
    if (pipe(fds) != 0) return {nullptr, "pipe failed"};
    const bool bWritten =
        write(fds[1], file.data(), file.size()) == static_cast<ssize_t>(file.size());
    close(fds[1]);
    const rle565::FilePtr stream(fdopen(fds[0], "rb"));
    if (!bWritten) return {nullptr, "pipe write failed"};
    return loadStream(stream.get());
}
