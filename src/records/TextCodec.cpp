#include "records/TextCodec.h"

#include <iconv.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace trelvane {
namespace {

constexpr char kUtf8[] = "UTF-8";
const iconv_t kBadDescriptor = reinterpret_cast<iconv_t>(-1);

const char* CharsetOf(int codePage) {
    switch (codePage) {
        case 936:
            return "CP936";  // GBK with 0x80 as the euro sign, as Windows has it
        case 950:
            return "CP950";
        case 1252:
            return "CP1252";
        case 65001:
            return kUtf8;
        default:
            return nullptr;
    }
}

// Length of the well-formed UTF-8 sequence at the front of `in`, 0 when it is not one. Used to
// skip a whole character that the target cannot represent, so it yields one '?', not several.
std::size_t Utf8SequenceLength(const unsigned char* in, std::size_t available) {
    const unsigned lead = in[0];
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (available < length || in[1] < low || in[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (in[i] < 0x80 || in[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

// UTF-8 to UTF-8: every well-formed sequence stays, every byte that is not part of one becomes
// '?'. Done here rather than by iconv, whose UTF-8 decoder lets some ill-formed sequences through
// (code points beyond U+10FFFF).
std::string SanitizeUtf8(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    std::size_t i = 0;
    while (i < in.size()) {
        const std::size_t length = Utf8SequenceLength(bytes + i, in.size() - i);
        if (length == 0) {
            out += '?';
            ++i;
        } else {
            out.append(in.substr(i, length));
            i += length;
        }
    }
    return out;
}

// Receives what a conversion makes: converted text, and the source bytes it could not convert
// (one character's worth at a time, or an incomplete sequence at the very end).
class ConversionSink {
  public:
    virtual ~ConversionSink() = default;
    virtual void Output(std::string_view converted) = 0;
    virtual void Invalid(std::string_view skipped) = 0;
};

// The program's rule: every unconvertible character becomes one '?'.
class QuestionMarks final : public ConversionSink {
  public:
    explicit QuestionMarks(std::size_t sizeHint) { out.reserve(sizeHint); }
    void Output(std::string_view converted) override { out.append(converted); }
    void Invalid(std::string_view) override { out += '?'; }
    std::string out;
};

void Convert(const char* to, const char* from, bool sourceIsUtf8, std::string_view in,
             ConversionSink& sink) {
    const iconv_t cd = iconv_open(to, from);
    if (cd == kBadDescriptor) {
        // No converter at all: ASCII stays, every other byte is unconvertible.
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (static_cast<unsigned char>(in[i]) >= 0x80) {
                sink.Invalid(in.substr(i, 1));
            } else {
                sink.Output(in.substr(i, 1));
            }
        }
        return;
    }

    std::string buffer(in.size() * 2 + 16, '\0');
    char* inPtr = const_cast<char*>(in.data());  // iconv's signature; it never writes the input
    std::size_t inLeft = in.size();

    // Each pass of the loop either consumes input, grows the buffer or skips at least one input
    // byte, so it always ends.
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        sink.Output(
            std::string_view(buffer.data(), static_cast<std::size_t>(outPtr - buffer.data())));
        if (result != static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        std::size_t skip = 1;
        if (errno == EINVAL) {
            skip = inLeft;  // an incomplete sequence at the very end
        } else if (sourceIsUtf8) {
            const std::size_t length =
                Utf8SequenceLength(reinterpret_cast<const unsigned char*>(inPtr), inLeft);
            skip = length > 0 ? length : 1;
        }
        sink.Invalid(std::string_view(inPtr, skip));
        inPtr += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
    }
    // Let a stateful target close its last shift sequence.
    for (;;) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t result = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        sink.Output(
            std::string_view(buffer.data(), static_cast<std::size_t>(outPtr - buffer.data())));
        if (result == static_cast<std::size_t>(-1) && errno == E2BIG) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        break;
    }
    iconv_close(cd);
}

std::string Convert(const char* to, const char* from, bool sourceIsUtf8, std::string_view in) {
    QuestionMarks sink(in.size() * 2);
    Convert(to, from, sourceIsUtf8, in, sink);
    return std::move(sink.out);
}

// Escapes for a terminal or a line-oriented reader of the output: valid UTF-8 passes, except
// control characters (C0, DEL, C1), which become \xNN per byte, and '\', which becomes "\\";
// source bytes that could not be converted become \xNN each. So nothing from a reader can
// move the cursor, start an escape sequence, end a line, or pass for one of these escapes.
class TerminalEscapes final : public ConversionSink {
  public:
    void Output(std::string_view utf8) override {
        for (std::size_t i = 0; i < utf8.size(); ++i) {
            const auto c = static_cast<unsigned char>(utf8[i]);
            if (c == '\\') {
                out += "\\\\";
            } else if (c < 0x20 || c == 0x7F) {
                Hex(c);
            } else if (c == 0xC2 && i + 1 < utf8.size() &&
                       static_cast<unsigned char>(utf8[i + 1]) <= 0x9F &&
                       static_cast<unsigned char>(utf8[i + 1]) >= 0x80) {
                Hex(c);  // U+0080..U+009F, the C1 controls (CSI among them)
                Hex(static_cast<unsigned char>(utf8[++i]));
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    void Invalid(std::string_view skipped) override {
        for (const char c : skipped) {
            Hex(static_cast<unsigned char>(c));
        }
    }
    std::string out;

  private:
    void Hex(unsigned char c) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
};

bool CanOpen(const char* to, const char* from) {
    const iconv_t cd = iconv_open(to, from);
    if (cd == kBadDescriptor) {
        return false;
    }
    iconv_close(cd);
    return true;
}

}  // namespace

std::optional<TextCodec> TextCodec::ForCodePage(int codePage) {
    const char* charset = CharsetOf(codePage);
    if (charset == nullptr) {
        return std::nullopt;
    }
    if (codePage != 65001 && (!CanOpen(charset, kUtf8) || !CanOpen(kUtf8, charset))) {
        return std::nullopt;
    }
    return TextCodec(codePage, charset);
}

TextCodec TextCodec::Usable(int codePage) {
    if (auto codec = ForCodePage(codePage)) {
        return *codec;
    }
    if (auto fallback = ForCodePage(936)) {
        return *fallback;
    }
    return TextCodec(65001, kUtf8);
}

std::string TextCodec::FromUtf8(std::string_view utf8) const {
    if (codePage_ == 65001) {
        return SanitizeUtf8(utf8);
    }
    return Convert(charset_, kUtf8, true, utf8);
}

std::string TextCodec::ToUtf8(std::string_view bytes) const {
    if (codePage_ == 65001) {
        return SanitizeUtf8(bytes);
    }
    return Convert(kUtf8, charset_, false, bytes);
}

std::string TextCodec::ToTerminalText(std::string_view bytes) const {
    TerminalEscapes sink;
    if (codePage_ == 65001) {
        const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
        for (std::size_t i = 0; i < bytes.size();) {
            const std::size_t length = Utf8SequenceLength(in + i, bytes.size() - i);
            if (length == 0) {
                sink.Invalid(bytes.substr(i, 1));
                ++i;
            } else {
                sink.Output(bytes.substr(i, length));
                i += length;
            }
        }
    } else {
        Convert(kUtf8, charset_, false, bytes, sink);
    }
    return std::move(sink.out);
}

}  // namespace trelvane
