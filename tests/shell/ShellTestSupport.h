#pragma once

// What the runner's tests share: the error an operation throws, and the
// texts a sequence of lines, pieces or characters gives.

#include <optional>
#include <string>
#include <vector>

namespace shell_test {

// The Error that operation throws, or none when it returns; anything else it
// throws goes on to the test.
template <class Error, class Operation>
std::optional<Error> thrownBy(Operation&& operation) {
    try {
        operation();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// The what() of the Error that operation throws; "no error" when it returns.
template <class Error, class Operation>
std::string messageThrownBy(Operation&& operation) {
    const auto error = thrownBy<Error>(operation);
    return error ? error->what() : "no error";
}

// Every element of a range of texts or of text slices, in order.
template <class Range>
std::vector<std::string> textsOf(Range&& range) {
    std::vector<std::string> texts;
    for (const auto& element : range) {
        if constexpr (requires { element.str(); }) {
            texts.push_back(element.str());
        } else {
            texts.emplace_back(element);
        }
    }
    return texts;
}

}  // namespace shell_test
