// Scratch folders and whole-file reads and writes for tests that run the built program.
#pragma once

#include <filesystem>
#include <string>

/// A fresh folder under the system temporary folder, named after `label`; removed with
/// everything below it (read-only folders included) when the object goes. `path()` is empty
/// when the folder could not be made.
class scratch_dir {
public:
    explicit scratch_dir(const std::string &label = "vandrel-test");
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    [[nodiscard]] const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

/// The whole file as bytes; "" when it cannot be read.
[[nodiscard]] std::string read_file(const std::filesystem::path &path);

/// Writes `text` to `path`, making missing parent folders; false when that fails.
bool write_file(const std::filesystem::path &path, const std::string &text);
