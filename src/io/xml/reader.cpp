#include "io/xml/reader.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>

namespace bitloom::io::xml {

namespace {

constexpr std::string_view xml_namespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view xmlns_namespace = "http://www.w3.org/2000/xmlns/";

// What each byte can be: in the ASCII names this reader reads, white space,
// and characters XML allows as they are (the C0 controls but tab, line feed
// and carriage return are not; bytes from 0x80 up are left to the UTF-8 check).
enum Class : std::uint8_t { name_start = 1, name_char = 2, space = 4, plain = 8 };

constexpr std::array<std::uint8_t, 256> classes = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0x20; c < 0x80; ++c) t[c] = plain;
    for (const unsigned c : {0x09U, 0x0AU, 0x0DU}) t[c] = plain | space;  // tab, line feed, carriage return
    t[' '] |= space;
    for (unsigned c = 'a'; c <= 'z'; ++c) t[c] |= name_start | name_char;
    for (unsigned c = 'A'; c <= 'Z'; ++c) t[c] |= name_start | name_char;
    for (const unsigned c : {0x5FU, 0x3AU}) t[c] |= name_start | name_char;  // '_', ':'
    for (unsigned c = '0'; c <= '9'; ++c) t[c] |= name_char;
    for (const unsigned c : {0x2DU, 0x2EU}) t[c] |= name_char;  // '-', '.'
    return t;
}();

bool has(char c, Class k) { return (classes[static_cast<unsigned char>(c)] & k) != 0; }
bool is_space(char c) { return has(c, space); }
bool is_name_start(char c) { return has(c, name_start); }
bool is_name_char(char c) { return has(c, name_char); }

// UTF-8 throughout, and only the characters XML allows.
bool valid_characters(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* const e = p + s.size();
    constexpr std::uint64_t high = 0x8080808080808080U;
    constexpr std::uint64_t below_space = 0x2020202020202020U;
    while (p < e) {
        // Eight bytes at a time while they are ASCII at or above the space.
        if (e - p >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p, 8);
            if (((word | ((word - below_space) & ~word)) & high) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned c = *p;
        if (c < 0x80) {
            if ((classes[c] & plain) == 0) return false;
            ++p;
            continue;
        }
        std::size_t more = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            cp = c & 0x1FU;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            cp = c & 0x0FU;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            cp = c & 0x07U;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(e - p) <= more) return false;
        for (std::size_t i = 1; i <= more; ++i) {
            const unsigned d = p[i];
            if ((d & 0xC0U) != 0x80U) return false;
            cp = (cp << 6U) | (d & 0x3FU);
        }
        if ((more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return false;
        p += more + 1;
    }
    return true;
}

bool allowed_character(std::uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0U | (cp >> 6U)));
        out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0U | (cp >> 12U)));
        out.push_back(static_cast<char>(0x80U | ((cp >> 6U) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
    } else {
        out.push_back(static_cast<char>(0xF0U | (cp >> 18U)));
        out.push_back(static_cast<char>(0x80U | ((cp >> 12U) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | ((cp >> 6U) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
    }
}

// The reference that starts at `s[0]` ('&'): appends what it stands for and
// returns its length, or 0 for anything but the predefined entities and
// character references to allowed characters.
std::size_t reference(std::string_view s, std::string& out) {
    const std::size_t semi = s.find(';');
    if (semi == std::string_view::npos || semi < 2) return 0;
    const std::string_view body = s.substr(1, semi - 1);
    if (body[0] == '#') {
        std::uint32_t cp = 0;
        const bool hex = body.size() > 1 && body[1] == 'x';
        const std::string_view digits = body.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8) return 0;
        for (const char c : digits) {
            unsigned d = 0;
            if (c >= '0' && c <= '9') {
                d = static_cast<unsigned>(c - '0');
            } else if (hex && c >= 'a' && c <= 'f') {
                d = static_cast<unsigned>(c - 'a' + 10);
            } else if (hex && c >= 'A' && c <= 'F') {
                d = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return 0;
            }
            cp = cp * (hex ? 16U : 10U) + d;
        }
        if (!allowed_character(cp)) return 0;
        append_utf8(out, cp);
        return semi + 1;
    }
    static constexpr std::array<std::pair<std::string_view, char>, 5> predefined{
        {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}}};
    for (const auto& [name, c] : predefined) {
        if (body == name) {
            out.push_back(c);
            return semi + 1;
        }
    }
    return 0;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// What the reading found, in order, to be reported once the whole document
// has been read: names and values point into the document or into `store`.
struct Recording {
    enum class Kind : std::uint8_t { start, end, text };
    struct Event {
        Kind kind;
        std::string_view data;  // the name, or the text
        std::size_t first_attribute;
        std::size_t attributes;
        std::size_t line;
    };
    std::vector<Event> events;
    std::vector<Attribute> attributes;
    std::deque<std::string> store;  // a deque: what points into its strings stays valid as it grows
};

class Reader {
public:
    Reader(std::string_view document, Recording& out) : doc_(document), out_(out) {
        has_cr_ = doc_.find('\r') != std::string_view::npos;
    }

    Outcome run() {
        if (doc_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
        if (doc_.substr(pos_).starts_with("<?xml") && pos_ + 5 < doc_.size() && is_space(doc_[pos_ + 5])) {
            if (!declaration()) return Outcome::other;
        }
        if (!misc()) return Outcome::other;
        if (!at("<") || pos_ + 1 >= doc_.size() || !is_name_start(doc_[pos_ + 1])) return Outcome::other;
        const Outcome outcome = elements();
        if (outcome != Outcome::done) return outcome;
        if (!misc() || pos_ != doc_.size()) return Outcome::other;
        return Outcome::done;
    }

private:
    struct Open {
        std::string_view name;  // as written, with its prefix
        std::size_t bindings;   // prefixes it declares
    };

    [[nodiscard]] bool at(std::string_view s) const { return doc_.substr(pos_).starts_with(s); }

    bool skip_spaces() {
        const std::size_t from = pos_;
        while (pos_ < doc_.size() && is_space(doc_[pos_])) ++pos_;
        return pos_ != from;
    }

    std::string_view name() {
        const std::size_t from = pos_;
        if (pos_ >= doc_.size() || !is_name_start(doc_[pos_])) return {};
        while (pos_ < doc_.size() && is_name_char(doc_[pos_])) ++pos_;
        return doc_.substr(from, pos_ - from);
    }

    // The line of the character at `to`: lines end at "\n", "\r\n" and "\r".
    std::size_t line_at(std::size_t to) {
        if (!has_cr_) {
            line_ += static_cast<std::size_t>(std::count(doc_.begin() + static_cast<std::ptrdiff_t>(line_pos_),
                                                         doc_.begin() + static_cast<std::ptrdiff_t>(to), '\n'));
        } else {
            for (std::size_t i = line_pos_; i < to; ++i) {
                if (doc_[i] == '\n' || (doc_[i] == '\r' && (i + 1 >= doc_.size() || doc_[i + 1] != '\n'))) ++line_;
            }
        }
        line_pos_ = to;
        return line_;
    }

    // <?xml version="1.0" encoding="UTF-8" standalone="yes"?>, each part as
    // the grammar allows it and nothing else.
    bool declaration() {
        pos_ += 5;
        std::array<std::string_view, 3> names{"version", "encoding", "standalone"};
        std::size_t next = 0;
        while (true) {
            const bool spaced = skip_spaces();
            if (at("?>")) {
                pos_ += 2;
                return next > 0;
            }
            if (!spaced) return false;
            const std::string_view key = name();
            while (next < names.size() && names[next] != key) {
                if (next == 0) return false;  // the version comes first
                ++next;
            }
            if (next == names.size()) return false;
            skip_spaces();
            if (!at("=")) return false;
            ++pos_;
            skip_spaces();
            if (pos_ >= doc_.size() || (doc_[pos_] != '"' && doc_[pos_] != '\'')) return false;
            const std::size_t close = doc_.find(doc_[pos_], pos_ + 1);
            if (close == std::string_view::npos) return false;
            const std::string_view value = doc_.substr(pos_ + 1, close - pos_ - 1);
            pos_ = close + 1;
            if (next == 0 && value != "1.0") return false;
            if (next == 1 && !equal_ignoring_case(value, "UTF-8")) return false;
            if (next == 2 && value != "yes" && value != "no") return false;
            ++next;
        }
    }

    // White space, comments and processing instructions outside the root.
    bool misc() {
        while (true) {
            skip_spaces();
            if (at("<!--")) {
                if (!comment()) return false;
            } else if (at("<?")) {
                if (!instruction()) return false;
            } else {
                return true;
            }
        }
    }

    bool comment() {
        const std::size_t dashes = doc_.find("--", pos_ + 4);
        if (dashes == std::string_view::npos || dashes + 2 >= doc_.size() || doc_[dashes + 2] != '>') return false;
        pos_ = dashes + 3;
        return true;
    }

    bool instruction() {
        pos_ += 2;
        const std::string_view target = name();
        if (target.empty() || equal_ignoring_case(target, "xml") || target.find(':') != std::string_view::npos) {
            return false;
        }
        if (!at("?>") && !skip_spaces()) return false;
        const std::size_t close = doc_.find("?>", pos_);
        if (close == std::string_view::npos) return false;
        pos_ = close + 2;
        return true;
    }

    // A CDATA section inside an element.
    bool cdata() {
        pos_ += 9;
        const std::size_t close = doc_.find("]]>", pos_);
        if (close == std::string_view::npos) return false;
        const std::string_view body = doc_.substr(pos_, close - pos_);
        pos_ = close + 3;
        return report_text(body, false);
    }

    // Character data up to the next '<'.
    bool text() {
        std::size_t close = doc_.find('<', pos_);
        if (close == std::string_view::npos) close = doc_.size();
        const std::string_view body = doc_.substr(pos_, close - pos_);
        pos_ = close;
        if (body.find("]]>") != std::string_view::npos) return false;
        return report_text(body, true);
    }

    // Line ends to '\n' and, in text, references replaced.
    bool report_text(std::string_view body, bool references) {
        if ((!references || body.find('&') == std::string_view::npos) &&
            (!has_cr_ || body.find('\r') == std::string_view::npos)) {
            out_.events.push_back({Recording::Kind::text, body, 0, 0, 0});
            return true;
        }
        text_.clear();
        for (std::size_t i = 0; i < body.size(); ++i) {
            const char c = body[i];
            if (c == '\r') {
                text_.push_back('\n');
                if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
            } else if (c == '&' && references) {
                const std::size_t used = reference(body.substr(i), text_);
                if (used == 0) return false;
                i += used - 1;
            } else {
                text_.push_back(c);
            }
        }
        out_.events.push_back({Recording::Kind::text, out_.store.emplace_back(text_), 0, 0, 0});
        return true;
    }

    // An attribute's value as the parser hands it on: references replaced,
    // each literal tab, line end or space one space.
    static bool attribute_value(std::string_view raw, std::string& scratch, std::string_view& value) {
        if (raw.find('<') != std::string_view::npos) return false;
        if (std::ranges::none_of(raw, [](char c) { return c == '&' || c == '\t' || c == '\n' || c == '\r'; })) {
            value = raw;
            return true;
        }
        scratch.clear();
        for (std::size_t i = 0; i < raw.size(); ++i) {
            const char c = raw[i];
            if (c == '\r') {
                scratch.push_back(' ');
                if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            } else if (c == '\t' || c == '\n') {
                scratch.push_back(' ');
            } else if (c == '&') {
                const std::size_t used = reference(raw.substr(i), scratch);
                if (used == 0) return false;
                i += used - 1;
            } else {
                scratch.push_back(c);
            }
        }
        value = scratch;
        return true;
    }

    // The part of a name after its prefix; false when the prefix is not
    // declared (or the name has more than one colon).
    bool unprefixed(std::string_view qname, bool element, std::string_view& local) const {
        const std::size_t colon = qname.find(':');
        if (colon == std::string_view::npos) {
            local = qname;
            return true;
        }
        const std::string_view prefix = qname.substr(0, colon);
        local = qname.substr(colon + 1);
        if (prefix.empty() || local.empty() || local.find(':') != std::string_view::npos || !is_name_start(local[0])) {
            return false;
        }
        if (prefix == "xml") return !element;
        return std::ranges::find(bound_, prefix) != bound_.end();
    }

    // NOLINTNEXTLINE(readability-function-cognitive-complexity): one start tag, as the grammar has it
    Outcome start_tag(bool& empty) {
        const std::size_t open_at = pos_;
        ++pos_;
        const std::string_view qname = name();
        if (qname.empty()) return Outcome::other;
        names_.clear();
        std::size_t count = 0;
        while (true) {
            const bool spaced = skip_spaces();
            if (pos_ >= doc_.size()) return Outcome::other;
            if (doc_[pos_] == '>') {
                ++pos_;
                empty = false;
                break;
            }
            if (at("/>")) {
                pos_ += 2;
                empty = true;
                break;
            }
            if (!spaced) return Outcome::other;
            const std::string_view key = name();
            if (key.empty()) return Outcome::other;
            skip_spaces();
            if (!at("=")) return Outcome::other;
            ++pos_;
            skip_spaces();
            if (pos_ >= doc_.size() || (doc_[pos_] != '"' && doc_[pos_] != '\'')) return Outcome::other;
            const std::size_t close = doc_.find(doc_[pos_], pos_ + 1);
            if (close == std::string_view::npos) return Outcome::other;
            if (count == scratch_.size()) {
                scratch_.emplace_back();
                values_.emplace_back();
            }
            const std::string_view raw = doc_.substr(pos_ + 1, close - pos_ - 1);
            if (!attribute_value(raw, scratch_[count], values_[count])) return Outcome::other;
            // A value that had to be rewritten is kept with the recording.
            if (values_[count].data() != raw.data()) values_[count] = out_.store.emplace_back(values_[count]);
            pos_ = close + 1;
            names_.push_back(key);
            ++count;
        }
        // Namespace declarations first: they hold for the element's own
        // name and attributes, wherever they are written.
        std::size_t bindings = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view key = names_[i];
            for (std::size_t j = 0; j < i; ++j) {
                if (names_[j] == key) return Outcome::other;
            }
            if (key == "xmlns" || key.starts_with("xmlns:")) {
                const std::string_view uri = values_[i];
                if (uri == xml_namespace || uri == xmlns_namespace) return Outcome::other;
                if (key != "xmlns") {
                    const std::string_view prefix = key.substr(6);
                    if (uri.empty() || prefix.empty() || prefix.find(':') != std::string_view::npos ||
                        prefix == "xml" || prefix == "xmlns" || !is_name_start(prefix[0])) {
                        return Outcome::other;
                    }
                    bound_.push_back(prefix);
                    ++bindings;
                }
            }
        }
        std::string_view local;
        if (!unprefixed(qname, true, local)) return Outcome::other;
        const std::size_t first = out_.attributes.size();
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view key = names_[i];
            if (key == "xmlns" || key.starts_with("xmlns:")) continue;
            std::string_view attribute;
            if (!unprefixed(key, false, attribute)) return Outcome::other;
            // Two attributes of one name in different namespaces are left to
            // the full parser, which knows whether they clash.
            for (std::size_t j = first; j < out_.attributes.size(); ++j) {
                if (out_.attributes[j].name == attribute) return Outcome::other;
            }
            out_.attributes.push_back({attribute, values_[i]});
        }
        const std::size_t line = line_at(open_at);
        out_.events.push_back({Recording::Kind::start, local, first, out_.attributes.size() - first, line});
        if (empty) {
            bound_.resize(bound_.size() - bindings);
            out_.events.push_back({Recording::Kind::end, {}, 0, 0, 0});
        } else {
            open_.push_back({qname, bindings});
        }
        return Outcome::done;
    }

    Outcome end_tag() {
        pos_ += 2;
        const std::string_view qname = name();
        if (qname.empty() || open_.empty() || qname != open_.back().name) return Outcome::other;
        skip_spaces();
        if (!at(">")) return Outcome::other;
        ++pos_;
        bound_.resize(bound_.size() - open_.back().bindings);
        open_.pop_back();
        out_.events.push_back({Recording::Kind::end, {}, 0, 0, 0});
        return Outcome::done;
    }

    // The root element and everything in it.
    Outcome elements() {
        bool empty = false;
        Outcome outcome = start_tag(empty);
        if (outcome != Outcome::done || empty) return outcome;
        while (!open_.empty()) {
            if (pos_ >= doc_.size()) return Outcome::other;
            if (doc_[pos_] != '<') {
                if (!text()) return Outcome::other;
                continue;
            }
            const char next = pos_ + 1 < doc_.size() ? doc_[pos_ + 1] : '\0';
            if (next == '/') {
                outcome = end_tag();
            } else if (next == '?') {
                outcome = instruction() ? Outcome::done : Outcome::other;
            } else if (at("<!--")) {
                outcome = comment() ? Outcome::done : Outcome::other;
            } else if (at("<![CDATA[")) {
                outcome = cdata() ? Outcome::done : Outcome::other;
            } else {
                outcome = start_tag(empty);
            }
            if (outcome != Outcome::done) return outcome;
        }
        return Outcome::done;
    }

    std::string_view doc_;
    Recording& out_;
    std::size_t pos_ = 0;
    bool has_cr_ = false;
    std::size_t line_ = 1;
    std::size_t line_pos_ = 0;
    std::vector<Open> open_;
    std::vector<std::string_view> bound_;
    std::vector<std::string_view> names_;
    std::vector<std::string_view> values_;
    std::deque<std::string> scratch_;  // a deque: values_ point into its strings as it grows
    std::string text_;
};

}  // namespace

Outcome parse(std::string_view document, Events& events) {
    if (!valid_characters(document)) return Outcome::other;
    Recording recording;
    // An element takes a start and an end, and text around them: about two
    // events per '<', reserved at once.
    const auto tags = static_cast<std::size_t>(std::ranges::count(document, '<'));
    recording.events.reserve(2 * tags + 1);
    recording.attributes.reserve(tags);
    if (Reader(document, recording).run() != Outcome::done) return Outcome::other;
    const std::span<const Attribute> attributes(recording.attributes);
    for (const Recording::Event& event : recording.events) {
        bool going = false;
        switch (event.kind) {
            case Recording::Kind::start:
                going =
                    events.start(event.data, attributes.subspan(event.first_attribute, event.attributes), event.line);
                break;
            case Recording::Kind::end: going = events.end(); break;
            case Recording::Kind::text: going = events.text(event.data); break;
        }
        if (!going) return Outcome::stopped;
    }
    return Outcome::done;
}

}  // namespace bitloom::io::xml
