#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// A whole file written or read byte for byte: line ends stay as they are.
inline void WriteFile(const std::filesystem::path& file, const std::string& contents) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << contents;
}

inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
