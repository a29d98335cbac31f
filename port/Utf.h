// UTF-8 <-> UTF-16, the one converter of the tree: portable code, the same on
// every platform. Whatever cannot be converted becomes U+FFFD (the
// replacement character) and the conversion goes on; the result says whether
// that happened, for callers that refuse such text rather than mend it.
#pragma once

#include <string>
#include <string_view>

namespace port {

// UTF-8 to UTF-16. A stray or truncated byte sequence, an overlong form, an
// encoded surrogate or a code point past U+10FFFF becomes one U+FFFD.
// *pbExact (when given) is false when any replacement was made.
std::u16string Utf8ToUtf16(std::string_view str, bool* pbExact = nullptr);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD. *pbExact (when
// given) is false when any replacement was made.
std::string Utf16ToUtf8(std::u16string_view wstr, bool* pbExact = nullptr);

}  // namespace port
