// A fast reader of the XML that definition files are written in.
//
// It reads a whole UTF-8 document held in memory and reports its elements
// and character data in document order, with namespace prefixes taken off.
// It reads the common form of such files and nothing more: anything it is
// not certain to read exactly as a conforming, namespace-aware parser would
// (a document type declaration, another encoding, a name outside ASCII, an
// entity other than the five predefined ones, and every well-formedness
// error) makes it answer `Outcome::other` before a single event has been
// reported, so that the caller can hand the document to the full parser,
// which reads it or says exactly what is wrong with it. `parse` therefore
// reads all of the document before it reports the first element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bitloom::io::xml {

struct Attribute {
    std::string_view name;   // without its prefix
    std::string_view value;  // references replaced, white space normalised
};

// What a well-formed document is made of, in document order.
class Events {
public:
    Events() = default;
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;
    Events(Events&&) = delete;
    Events& operator=(Events&&) = delete;
    virtual ~Events() = default;
    // `line` is the line (from 1) of the element's '<'. False stops the reading.
    virtual bool start(std::string_view name, std::span<const Attribute> attributes, std::size_t line) = 0;
    virtual bool end() = 0;
    // Character data: text (references replaced, line ends as '\n') and
    // CDATA sections, possibly in several pieces.
    virtual bool text(std::string_view data) = 0;
};

enum class Outcome : std::uint8_t {
    done,     // the document was read and every event reported
    other,    // not read (nothing reported): leave it to a full parser
    stopped,  // an event handler returned false
};

[[nodiscard]] Outcome parse(std::string_view document, Events& events);

}  // namespace bitloom::io::xml
