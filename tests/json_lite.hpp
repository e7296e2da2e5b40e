#pragma once
// A minimal JSON reader for the reference result files in tests/data: objects,
// arrays, strings without escapes, numbers. Enough for golden data, nothing more.

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace jsonlite {

struct Value {
  enum class Kind { Number, String, Array, Object } kind = Kind::Number;
  std::string text;  // the number's literal, or the string
  std::vector<Value> items;
  std::map<std::string, Value> members;

  const Value& operator[](const std::string& key) const {
    auto it = members.find(key);
    if (it == members.end()) throw std::runtime_error("missing key " + key);
    return it->second;
  }
  // Decimal to float directly, so the written float comes back exactly.
  float asFloat() const { return std::strtof(text.c_str(), nullptr); }
  long long asInt() const { return std::strtoll(text.c_str(), nullptr, 10); }
};

class Parser {
 public:
  explicit Parser(std::string text) : s_(std::move(text)) {}
  Value parse() {
    Value v = value();
    skip();
    if (pos_ != s_.size()) throw std::runtime_error("trailing characters");
    return v;
  }

 private:
  void skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  char peek() {
    skip();
    if (pos_ >= s_.size()) throw std::runtime_error("unexpected end");
    return s_[pos_];
  }
  void expect(char c) {
    if (peek() != c) throw std::runtime_error(std::string("expected ") + c);
    ++pos_;
  }
  std::string string() {
    expect('"');
    const size_t end = s_.find('"', pos_);
    if (end == std::string::npos) throw std::runtime_error("open string");
    std::string out = s_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return out;
  }
  Value value() {
    Value v;
    const char c = peek();
    if (c == '{') {
      v.kind = Value::Kind::Object;
      ++pos_;
      if (peek() == '}') { ++pos_; return v; }
      for (;;) {
        std::string key = string();
        expect(':');
        v.members[key] = value();
        if (peek() == ',') { ++pos_; continue; }
        expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.kind = Value::Kind::Array;
      ++pos_;
      if (peek() == ']') { ++pos_; return v; }
      for (;;) {
        v.items.push_back(value());
        if (peek() == ',') { ++pos_; continue; }
        expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.kind = Value::Kind::String;
      v.text = string();
      return v;
    }
    const size_t start = pos_;
    while (pos_ < s_.size() && std::string("+-0123456789.eE").find(s_[pos_]) != std::string::npos)
      ++pos_;
    if (start == pos_) throw std::runtime_error("bad value");
    v.text = s_.substr(start, pos_ - start);
    return v;
  }

  std::string s_;
  size_t pos_ = 0;
};

inline Value parseFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return Parser(buffer.str()).parse();
}

}  // namespace jsonlite
