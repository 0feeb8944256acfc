// The failure of the front end (model readers, check, science library): one
// line naming the file (and the line of a text file) or the quantity at
// fault. A quantity is marked in the message by Quantity("spin_period"), so
// that each face spells it its own way ("--spin-period" in the program,
// "spin_period" in the Python module); what() spells it bare.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

// The mark of a quantity's name in a message: control characters that no
// message text holds around an identifier, so that a file name with braces
// or any other characters stays as it is.
inline std::string Quantity(std::string_view name) {
  std::string mark(1, '\x01');
  mark.append(name);
  mark += '\x02';
  return mark;
}

class Failure : public std::runtime_error {
 public:
  // What the caller may do about it, for faces whose language has a kind of
  // error for each (Python's FileNotFoundError, ValueError).
  enum class Kind {
    kOther,
    kNotFound,   // a file to read does not exist
    kBadValue,   // a parameter's value given is refused (mostly before any model is read)
    kUnfit,      // the model fails the check before an evaluation
    kMisplaced,  // a body's parts do not fit together (a cavity outside them)
  };
  using Spelling = std::function<std::string(std::string_view name)>;

  explicit Failure(const std::string& message, Kind kind = Kind::kOther)
      : std::runtime_error(Spell(message, [](std::string_view name) { return std::string(name); })),
        message_(message),
        kind_(kind) {}

  Kind kind() const { return kind_; }
  // The message with every quantity's name spelled by `spelling`.
  std::string Spelled(const Spelling& spelling) const { return Spell(message_, spelling); }

 private:
  static std::string Spell(const std::string& message, const Spelling& spelling) {
    std::string out;
    size_t i = 0;
    while (i < message.size()) {
      const size_t open = message.find('\x01', i);
      const size_t close = open == std::string::npos ? open : message.find('\x02', open);
      if (close == std::string::npos) break;
      out.append(message, i, open - i);
      out += spelling(std::string_view(message).substr(open + 1, close - open - 1));
      i = close + 1;
    }
    out.append(message, i, std::string::npos);
    return out;
  }

  std::string message_;
  Kind kind_;
};

// A value given, refused: a Failure of kind kBadValue.
[[noreturn]] inline void Refuse(const std::string& message) {
  throw Failure(message, Failure::Kind::kBadValue);
}
