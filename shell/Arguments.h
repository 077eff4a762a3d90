#pragma once

// Turning the argument values of a command into the texts the process gets.

#include <concepts>
#include <filesystem>
#include <initializer_list>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "shell/Stream.h"

namespace shell {

class ArgumentList;

namespace detail {

template <class T>
concept ArgumentText = std::is_convertible_v<const T&, std::string_view> ||
    std::is_same_v<std::remove_cvref_t<T>, std::filesystem::path>;

template <class T>
concept ArgumentRange = std::ranges::input_range<const T> && !ArgumentText<T> &&
                        !std::is_same_v<std::remove_cvref_t<T>, ArgumentList>;

template <class T>
void appendArgument(std::vector<std::string>& texts, const T& value);

}  // namespace detail

// A list of argument values of mixed kinds, to nest lists in braces:
// ArgumentList{"-o", ArgumentList{"x", 7}}. Its values are flat already.
class ArgumentList {
  public:
    ArgumentList(std::initializer_list<ArgumentList> lists) {
        for (const auto& list : lists) {
            texts_.insert(texts_.end(), list.texts_.begin(), list.texts_.end());
        }
    }
    template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, ArgumentList>)
        ArgumentList(const T& value) {  // NOLINT: implicit, for use inside braces
        detail::appendArgument(texts_, value);
    }

    const std::vector<std::string>& texts() const noexcept { return texts_; }

  private:
    std::vector<std::string> texts_;
};

namespace detail {

template <class T>
void appendArgument(std::vector<std::string>& texts, const T& value) {
    if constexpr (std::is_same_v<T, ArgumentList>) {
        texts.insert(texts.end(), value.texts().begin(), value.texts().end());
    } else if constexpr (std::is_same_v<T, std::filesystem::path>) {
        texts.push_back(value.string());
    } else if constexpr (ArgumentRange<T>) {
        // A list of any depth is spliced in place, in order.
        for (const auto& element : value) {
            appendArgument(texts, element);
        }
    } else {
        // Texts unchanged, numbers in decimal, anything else its description.
        texts.push_back(describe(value));
    }
}

}  // namespace detail

// The values flattened and turned into texts: each list (std::vector,
// std::initializer_list, ArgumentList or any other range, nested to any
// depth) is spliced in place; a text stays as it is, a number gives its
// decimal form, a path its text, anything else its printed description.
// flattenArguments("-q", ArgumentList{"-o", ArgumentList{"x"}}, 7) gives
// -q, -o, x, 7.
template <class... Values>
std::vector<std::string> flattenArguments(const Values&... values) {
    std::vector<std::string> texts;
    texts.reserve(sizeof...(Values));
    (detail::appendArgument(texts, values), ...);
    return texts;
}

}  // namespace shell
