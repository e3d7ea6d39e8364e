// A machine-readable account of a run, one JSON object a line, for the test
// driver (tests/test_kernel_native.py): a "start" line is written and flushed
// before each test, so that a test which ends the process is known by having
// started and not ended.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kernel_tests {

class ResultsFile {
public:
    ResultsFile() = default;
    ResultsFile(const ResultsFile&) = delete;
    ResultsFile& operator=(const ResultsFile&) = delete;
    ~ResultsFile();

    // False if the file cannot be created.
    bool open(const char* path);
    void started(const char* test);
    void ended(const char* test, const std::vector<std::string>& failures);

private:
    void write_line(const std::string& line);

    std::FILE* file_ = nullptr;
};

}  // namespace kernel_tests
