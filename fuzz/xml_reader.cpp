// The XML reader over arbitrary bytes: it never reads out of bounds, and a
// document it takes is reported as a well-nested tree of ASCII names without
// prefixes, text with no carriage return left in it (but what a character
// reference puts there), attributes of distinct names whose values hold no
// '<' (but what a reference puts there), lines that never go back; a
// handler that stops it stops it at once.
// Reading is all or nothing: a document it leaves to a full parser reports
// no event at all.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "io/xml/reader.hpp"
#include "common.hpp"

namespace {

using bitloom::io::xml::Attribute;
using bitloom::io::xml::Outcome;

class Checked final : public bitloom::io::xml::Events {
public:
    Checked(std::size_t stop_after, bool references, bool angles)
        : stop_after_(stop_after), references_(references), angles_(angles) {}

    bool start(std::string_view name, std::span<const Attribute> attributes, std::size_t line) override {
        FUZZ_CHECK(!name.empty() && name.find(':') == std::string_view::npos);
        for (std::size_t i = 0; i < attributes.size(); ++i) {
            FUZZ_CHECK(!attributes[i].name.empty() && attributes[i].name.find(':') == std::string_view::npos);
            // A '<' in a value can only come from a reference (&lt;, &#60;).
            FUZZ_CHECK(angles_ || attributes[i].value.find('<') == std::string_view::npos);
            for (std::size_t j = 0; j < i; ++j) FUZZ_CHECK(attributes[j].name != attributes[i].name);
        }
        FUZZ_CHECK(line >= 1 && line >= last_line_);
        last_line_ = line;
        FUZZ_CHECK(roots_ == 0 || depth_ > 0);
        if (depth_ == 0) ++roots_;
        ++depth_;
        return step();
    }
    bool end() override {
        FUZZ_CHECK(depth_ > 0);
        --depth_;
        return step();
    }
    bool text(std::string_view data) override {
        FUZZ_CHECK(depth_ > 0);
        // Only a character reference can put a carriage return in text.
        FUZZ_CHECK(references_ || data.find('\r') == std::string_view::npos);
        return step();
    }

    std::size_t events = 0;
    std::size_t depth_ = 0;
    std::size_t roots_ = 0;

private:
    bool step() {
        ++events;
        return events != stop_after_;
    }
    std::size_t stop_after_;
    bool references_;
    bool angles_;
    std::size_t last_line_ = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::size_t stop_after = in.byte();
    const auto rest = in.rest();
    // A copy of exactly the input's size, so that reading one byte past it is caught.
    const std::vector<char> document(rest.begin(), rest.end());
    const std::string_view text(document.data(), document.size());

    const bool references = text.find("&#") != std::string_view::npos;
    const bool angles = references || text.find("&lt;") != std::string_view::npos;
    Checked whole(0, references, angles);
    const Outcome outcome = bitloom::io::xml::parse(text, whole);
    if (outcome == Outcome::other) {
        FUZZ_CHECK(whole.events == 0);
        return 0;
    }
    FUZZ_CHECK(outcome == Outcome::done);
    FUZZ_CHECK(whole.depth_ == 0 && whole.roots_ == 1);

    if (stop_after != 0 && stop_after <= whole.events) {
        Checked stopped(stop_after, references, angles);
        FUZZ_CHECK(bitloom::io::xml::parse(text, stopped) == Outcome::stopped);
        FUZZ_CHECK(stopped.events == stop_after);
    }
    return 0;
}
