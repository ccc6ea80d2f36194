// Which names hold secrets, judged by their words, and the command line with
// the values of secret options hidden. Free of Python.
//
// A name is split into lower-case words: at every character that is not an
// ASCII letter (`_`, `-`, `.`, spaces, digits ...) and where camelCase starts
// a new word (`apiKey`, `XApiKey`, `X-CSRFToken`); digits are dropped, so
// `password2` is the word `password`. A configured name is split the same
// way. It matches a name that holds its words in a row (`api_key` matches
// `X-Api-Key`, `apiKey`, `old_api_key`), or one word that is its words
// written together (`csrf_token` matches `csrftoken`). A match does not count
// when the word right after it says the value is about the secret, not the
// secret itself (`token_count`, `password_min_length`, `session_timeout`: see
// kQualifierWords). A configured name written with a leading `=` matches only
// a name that consists of exactly its words: `=key` matches `key` and `KEY`,
// not `sort_key` or `keys`.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vask {

// Written in place of a secret value.
inline constexpr std::string_view kRedacted = "<redacted>";

// The configured names used unless the configuration says otherwise.
std::span<const std::string_view> default_redact_names() noexcept;

// The lower-case words of `name`, as views into `buffer` (overwritten).
void split_name_words(std::string_view name, std::string& buffer,
                      std::vector<std::string_view>& words);

class Redaction {
 public:
  // Redacts nothing.
  Redaction() = default;
  // Every name must pass has_words(); duplicates are dropped.
  explicit Redaction(std::span<const std::string> names);

  // Whether a configured name has at least one word (not only `-`, `_`,
  // digits or a lone `=`).
  static bool has_words(std::string_view configured);

  bool active() const noexcept { return !entries_.empty(); }
  bool is_secret(std::string_view name) const;
  // The configured names, in order, without duplicates.
  const std::vector<std::string>& names() const noexcept { return names_; }

 private:
  struct Entry {
    std::vector<std::string> words;
    std::string joined;  // the words written together
    bool whole_name = false;
  };
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  using Index = std::unordered_map<std::string, std::vector<uint32_t>, Hash, std::equal_to<>>;

  bool matches_at(const std::vector<std::string_view>& words, size_t i) const;

  std::vector<std::string> names_;
  std::vector<Entry> entries_;
  Index by_first_word_;  // entries that may start at a word
  Index by_joined_;      // entries of several words, by their words written together
};

// `args` with secret values hidden, for storing a command line:
//   * `--name=value` and `-name=value`, where name (two characters or more)
//     is a secret: the value becomes kRedacted;
//   * `--name value`, `-name value`: the next argument, unless it starts
//     with `-` (then it is the next option, and the secret was not given);
//   * `NAME=value` (an environment assignment, a make variable);
//   * the password of a URL (`postgres://user:pw@host/db`).
// One-letter options (`-p hunter2`) are not names and are kept. With an
// inactive redaction the arguments are returned as they are.
std::vector<std::string> redact_command_line(std::span<const std::string> args,
                                             const Redaction& redaction);

}  // namespace vask
