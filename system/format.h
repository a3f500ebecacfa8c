// Filling the "{}" places of a transcript text, in order.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace voxtrel {

// Replaces each "{}" of `pattern` with the next value; extra places stay empty.
[[nodiscard]] inline std::string fill(std::string_view pattern,
                                      std::initializer_list<std::string_view> values) {
  std::string text;
  auto value = values.begin();
  for (std::size_t pos = 0;;) {
    const auto place = pattern.find("{}", pos);
    if (place == std::string_view::npos) {
      text.append(pattern.substr(pos));
      return text;
    }
    text.append(pattern.substr(pos, place - pos));
    if (value != values.end()) text.append(*value++);
    pos = place + 2;
  }
}

}  // namespace voxtrel
