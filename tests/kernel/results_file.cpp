#include "results_file.hpp"

namespace kernel_tests {

namespace {

std::string json_string(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;  // bytes above ASCII pass as they are; the reader replaces invalid UTF-8
        }
    }
    return quoted + "\"";
}

}  // namespace

ResultsFile::~ResultsFile() {
    if (file_ != nullptr) std::fclose(file_);
}

bool ResultsFile::open(const char* path) {
    file_ = std::fopen(path, "w");
    return file_ != nullptr;
}

void ResultsFile::started(const char* test) {
    write_line("{\"test\": " + json_string(test) + ", \"event\": \"start\"}");
}

void ResultsFile::ended(const char* test, const std::vector<std::string>& failures) {
    std::string line = "{\"test\": " + json_string(test) + ", \"event\": \"end\", \"passed\": ";
    line += failures.empty() ? "true" : "false";
    line += ", \"failures\": [";
    for (std::size_t i = 0; i < failures.size(); ++i) line += (i > 0 ? ", " : "") + json_string(failures[i]);
    write_line(line + "]}");
}

void ResultsFile::write_line(const std::string& line) {
    if (file_ == nullptr) return;
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

}  // namespace kernel_tests
