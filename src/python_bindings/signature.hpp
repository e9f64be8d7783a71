#pragma once

// Python view of this file: nothing; each callable's parameter list, written once.
//   Parameters<Receiver::self, "search", "query", "limit">
//     ::signature   what parse_arguments matches (function name, parameter names)
//     ::names[i]    the name of parameter i, for argument errors
//     ::doc<>       "search($self, query, limit)\n--\n\n": the line CPython turns into
//                   __text_signature__ (inspect.signature); doc<"summary"> appends text

#include <array>
#include <cstddef>
#include <span>

#include "python_bindings/args.hpp"

namespace revuradova::py {

/// A string literal as a template argument.
template <std::size_t N>
struct Name {
    char text[N]{};
    constexpr Name(const char (&literal)[N]) {  // NOLINT: implicit from a literal by design
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    static constexpr std::size_t size = N - 1;
};

/// Whether the signature line starts with `$self` (methods) or not (types, static methods).
enum class Receiver : bool { none, self };

template <std::size_t Length>
struct DocText {
    char data[Length + 1]{};
};

namespace detail {

// Writes "function($self, a, b)\n--\n\nsummary" into `out` (when given) and returns its
// length; run once to size the text, once to fill it.
template <Receiver R, Name Function, Name Summary, Name... Params>
constexpr std::size_t write_doc(char* out) {
    std::size_t at = 0;
    const auto put = [&](const char* text) {
        for (; *text != '\0'; ++text, ++at) {
            if (out != nullptr) out[at] = *text;
        }
    };
    bool first = true;
    const auto parameter = [&](const char* name) {
        put(first ? "" : ", ");
        first = false;
        put(name);
    };
    put(Function.text);
    put("(");
    if (R == Receiver::self) parameter("$self");
    (parameter(Params.text), ...);
    put(")\n--\n\n");
    put(Summary.text);
    return at;
}

template <Receiver R, Name Function, Name Summary, Name... Params>
constexpr auto make_doc() {
    DocText<write_doc<R, Function, Summary, Params...>(nullptr)> doc;
    write_doc<R, Function, Summary, Params...>(doc.data);
    return doc;
}

}  // namespace detail

template <Receiver R, Name Function, Name... Params>
struct Parameters {
    static constexpr const char* function = Function.text;
    static constexpr std::array<const char*, sizeof...(Params)> names{Params.text...};
    static constexpr Signature signature{Function.text, std::span<const char* const>(names)};
    template <Name Summary = "">
    static constexpr auto doc = detail::make_doc<R, Function, Summary, Params...>();
};

/// The method table entry of the callable `P` describes: its name and signature line.
template <class P>
PyMethodDef method_def(PyCFunction function, int flags) {
    return {P::function, function, flags, P::template doc<>.data};
}

}  // namespace revuradova::py
