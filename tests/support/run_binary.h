// Runs the real rle565 binary in a folder and captures what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "temp_dir.h"

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

inline std::string readText(const std::string& path) {
    const Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs `binary args...` with `folder` as working directory. `prefix` goes
// before the command in the shell (for example a ulimit).
inline RunResult runIn(const TempDir& folder, const std::vector<std::string>& args,
                       const std::string& prefix = "", const std::string& binary = RLE565_BINARY) {
    const std::string outPath =
        folder.path().string() + "/../" + folder.path().filename().string() + ".stdout";
    const std::string errPath = outPath + ".stderr";
    // RLE565_WRAPPER runs the binary under a checker such as valgrind.
    const char* wrapper = std::getenv("RLE565_WRAPPER");
    std::string command = "cd " + shellQuote(folder.path().string()) + " && " + prefix + " " +
                          (wrapper ? std::string(wrapper) + " " : std::string()) +
                          shellQuote(binary);
    for (const auto& arg : args) {
        command += ' ';
        command += shellQuote(arg);
    }
    command += " </dev/null >" + shellQuote(outPath) + " 2>" + shellQuote(errPath);
    const int raw = std::system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = readText(outPath);
    result.err = readText(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return result;
}
