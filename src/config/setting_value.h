// Fields of the settings record. The record is written by the thread that loads or edits the
// settings and read by every other thread without waiting; these two types make such reads safe
// and let a change be seen field by field.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace config {

// A 32-bit number: reads and writes are single atomic words.
class SettingWord {
 public:
  constexpr SettingWord(uint32_t value = 0) : value_(value) {}  // NOLINT: reads like a number
  SettingWord(const SettingWord& other) : value_(other.get()) {}
  SettingWord& operator=(const SettingWord& other) {
    set(other.get());
    return *this;
  }
  SettingWord& operator=(uint32_t value) {
    set(value);
    return *this;
  }
  operator uint32_t() const { return get(); }  // NOLINT: reads like a number
  uint32_t get() const { return value_.load(std::memory_order_relaxed); }
  void set(uint32_t value) { value_.store(value, std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> value_;
};

// A text; empty means unset. Readers get a copy that stays valid whatever happens to the field.
class SettingText {
 public:
  SettingText() = default;
  SettingText(const SettingText& other) : text_(other.get()) {}
  SettingText& operator=(const SettingText& other) {
    if (this != &other) set(other.get());
    return *this;
  }
  std::string get() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return text_;
  }
  void set(std::string text) {
    std::lock_guard<std::mutex> hold(mutex_);
    text_ = std::move(text);
  }
  void clear() { set(std::string()); }
  bool empty() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return text_.empty();
  }

 private:
  mutable std::mutex mutex_;  // guards text_
  std::string text_;
};

}  // namespace config
