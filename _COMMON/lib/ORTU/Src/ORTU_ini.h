// Ini files: the reader the debug manager takes its configuration from, and
// an in-memory document on top of it.
//
// Syntax: a line whose first character is "[" opens the section named up to
// "]" (the rest of that line is ignored); a line holding a key, "=" and a
// value is an entry; lines end at CR, LF or both; other lines are ignored.
#pragma once

#include "ORTU_String.h"
#include "ORTU_Types.h"

#include <cstddef>
#include <vector>

class ORTU_Ini_Reader {
public:
    // The debug manager's buffer sizes.
    enum : size_t { NAMES_BUFFER_SIZE = 10240, SECTION_BUFFER_SIZE = 512 };
    // Files are read up to this many bytes; the rest is not looked at.
    enum : size_t { MAX_FILE_SIZE = 4u << 20 };

    // Section names in file order, each followed by a zero byte, the list
    // ended by a further zero byte. Only whole names are copied: a name that
    // does not fit ends the list. Returns the bytes used before the final
    // zero (0 when there are none or size is below 2).
    static size_t section_names(const char* text, size_t length, char* buffer, size_t size);
    static size_t file_section_names(const char* file_name, char* buffer, size_t size);

    // The entries of the first section whose name matches (letters without
    // regard to case), each as "key=value" and a zero byte, the list ended
    // by a further zero byte. Only whole entries are copied. Returns the
    // bytes used before the final zero: 0 when the section is missing or
    // has no entries.
    static size_t section(const char* text, size_t length, const char* name, char* buffer,
                          size_t size);
    static size_t file_section(const char* file_name, const char* name, char* buffer, size_t size);

    // The value after the first "=" of the first entry whose key matches the
    // whole of key without regard to case; "" when there is none.
    static const char* lookup(const char* entries, const char* key);

    // Reads a file (at most MAX_FILE_SIZE bytes). False when it cannot be
    // opened or read.
    static bool read_file(const char* file_name, ORTU_String& text);

    // Entry-line rule shared with the document: from one line, the key and
    // the value of an entry, or false when the line is no entry.
    static bool parse_entry(const char* line, size_t length, const char** key, size_t* key_length,
                            const char** value, size_t* value_length);
};

class ORTU_Ini_Document {
public:
    struct Section {
        ORTU_String name;
        std::vector<ORTU_String> entries; // "key=value"
    };

    // Replaces the document's contents. load_file returns false when the file
    // cannot be read (the document is then empty).
    bool load_file(const char* file_name);
    void load_text(const char* text, size_t length);
    void clear() { sections_.clear(); }

    // Replaces the section of that name (compared without regard to case), or
    // appends a new one.
    void set_section(const char* name, const std::vector<ORTU_String>& entries);
    // The same from a zero-separated list ended by a further zero.
    void set_section(const char* name, const char* entries);

    // Null when there is no such section (name compared without regard to case).
    const Section* find_section(const char* name) const;
    // The value of key in the section, "" when either is missing.
    const char* value(const char* section, const char* key) const;

    size_t section_count() const { return sections_.size(); }
    const Section& section(size_t index) const { return sections_[index]; }

    // Writes "[%s]\n" per section and "%s=%s\n" per entry to a truncated text
    // file. False when the file cannot be written.
    bool save(const char* file_name) const;

private:
    std::vector<Section> sections_;
};
