#pragma once

// Function and file names of stack frames, interned: every text is kept once for the life of
// the program, so a frame costs no allocation once its names have been seen (a group dump
// repeats the same few hundred names thousands of times) and names compare by address.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.

#include <cstddef>
#include <string>
#include <string_view>

namespace stackpeek::stacks {

class Name {
 public:
  Name();
  /// The interned copy of `text`; safe from any thread.
  Name(std::string_view text);  // NOLINT(google-explicit-constructor): names read as texts
  Name(const std::string& text) : Name(std::string_view(text)) {}  // NOLINT
  Name(const char* text) : Name(std::string_view(text)) {}         // NOLINT

  const std::string& str() const { return *text_; }
  operator std::string_view() const { return *text_; }  // NOLINT(google-explicit-constructor)
  size_t size() const { return text_->size(); }
  bool empty() const { return text_->empty(); }
  size_t find(std::string_view what) const { return text_->find(what); }
  /// The same for equal texts, and different for different texts, within one run.
  const void* id() const { return text_; }

  friend bool operator==(const Name& a, const Name& b) { return a.text_ == b.text_; }
  friend bool operator==(const Name& a, std::string_view b) { return *a.text_ == b; }
  friend bool operator==(const Name& a, const char* b) { return *a.text_ == b; }
  friend std::string operator+(const Name& a, std::string_view b) {
    return *a.text_ + std::string(b);
  }
  friend std::string operator+(std::string a, const Name& b) { return a + *b.text_; }
  friend std::string operator+(char a, const Name& b) { return a + *b.text_; }

 private:
  const std::string* text_;
};

}  // namespace stackpeek::stacks
