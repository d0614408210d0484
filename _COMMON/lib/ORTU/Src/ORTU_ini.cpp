#include "ORTU_ini.h"

#include "ORTU_Format.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// A zero byte counts as a line break: it could otherwise cut a name or an
// entry short inside the zero-separated lists handed out.
bool is_break(char c) {
    return c == '\r' || c == '\n' || c == '\0';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
// Only letters are folded: other bytes 32 apart ('@' and '`', ' ' and the
// end of a name) are different characters.
int fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

bool same_nocase(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

class Line_Cursor {
public:
    Line_Cursor(const char* text, size_t length) : p_(text), end_(text ? text + length : text) {}

    // The next non-empty line, without its line break.
    bool next(const char*& line, size_t& length) {
        while (p_ < end_ && is_break(*p_))
            ++p_;
        if (p_ >= end_)
            return false;
        line = p_;
        while (p_ < end_ && !is_break(*p_))
            ++p_;
        length = static_cast<size_t>(p_ - line);
        return true;
    }

private:
    const char* p_;
    const char* end_;
};

// The name of a section line, or false when the line opens no named section.
bool section_name(const char* line, size_t length, const char*& name, size_t& name_length) {
    if (length == 0 || line[0] != '[')
        return false;
    const char* close = static_cast<const char*>(std::memchr(line + 1, ']', length - 1));
    if (!close || close == line + 1)
        return false;
    name = line + 1;
    name_length = static_cast<size_t>(close - name);
    return true;
}

class List_Writer {
public:
    List_Writer(char* buffer, size_t size) : buffer_(buffer), size_(buffer ? size : 0) {}

    // Whole items only, and one byte always stays for the final zero.
    bool add(const char* a, size_t a_length, const char* b = nullptr, size_t b_length = 0,
             char separator = 0) {
        size_t need = a_length + (separator ? 1 : 0) + b_length + 1;
        if (size_ < 1 || used_ + need > size_ - 1)
            return false;
        std::memcpy(buffer_ + used_, a, a_length);
        used_ += a_length;
        if (separator)
            buffer_[used_++] = separator;
        if (b_length)
            std::memcpy(buffer_ + used_, b, b_length);
        used_ += b_length;
        buffer_[used_++] = 0;
        return true;
    }

    size_t finish() {
        if (size_ == 0)
            return 0;
        buffer_[used_] = 0;
        return used_;
    }

private:
    char* buffer_;
    size_t size_;
    size_t used_ = 0;
};

} // namespace

bool ORTU_Ini_Reader::parse_entry(const char* line, size_t length, const char** key,
                                  size_t* key_length, const char** value, size_t* value_length) {
    const char* end = line + length;
    const char* p = line;
    while (p < end && is_blank(*p))
        ++p;
    const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
    if (!eq)
        return false;
    const char* key_end = eq;
    while (key_end > p && is_blank(key_end[-1]))
        --key_end;
    if (key_end == p)
        return false;
    const char* v = eq + 1;
    while (v < end && is_blank(*v))
        ++v;
    *key = p;
    *key_length = static_cast<size_t>(key_end - p);
    *value = v;
    *value_length = static_cast<size_t>(end - v);
    return true;
}

size_t ORTU_Ini_Reader::section_names(const char* text, size_t length, char* buffer, size_t size) {
    List_Writer out(buffer, size);
    Line_Cursor lines(text, length);
    const char* line;
    size_t line_length;
    while (lines.next(line, line_length)) {
        const char* name;
        size_t name_length;
        if (section_name(line, line_length, name, name_length) && !out.add(name, name_length))
            break;
    }
    return out.finish();
}

size_t ORTU_Ini_Reader::section(const char* text, size_t length, const char* name, char* buffer,
                                size_t size) {
    List_Writer out(buffer, size);
    if (!name || !*name)
        return out.finish();
    size_t wanted = std::strlen(name);
    Line_Cursor lines(text, length);
    const char* line;
    size_t line_length;
    bool inside = false;
    while (lines.next(line, line_length)) {
        if (line[0] == '[') {
            if (inside)
                break;
            const char* found;
            size_t found_length;
            inside = section_name(line, line_length, found, found_length) &&
                     found_length == wanted && same_nocase(found, name, wanted);
            continue;
        }
        if (!inside)
            continue;
        const char *key, *value;
        size_t key_length, value_length;
        if (!parse_entry(line, line_length, &key, &key_length, &value, &value_length))
            continue;
        if (!out.add(key, key_length, value, value_length, '='))
            break;
    }
    return out.finish();
}

bool ORTU_Ini_Reader::read_file(const char* file_name, ORTU_String& text) {
    if (!file_name)
        return false;
    struct File_Closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, File_Closer> file(std::fopen(file_name, "rb"));
    if (!file)
        return false;
    ORTU_String result;
    char chunk[4096];
    while (result.length() < MAX_FILE_SIZE) {
        size_t room = MAX_FILE_SIZE - result.length();
        size_t got = std::fread(chunk, 1, room < sizeof chunk ? room : sizeof chunk, file.get());
        if (got == 0)
            break;
        result.append(chunk, got);
    }
    if (std::ferror(file.get()))
        return false;
    text = std::move(result);
    return true;
}

size_t ORTU_Ini_Reader::file_section_names(const char* file_name, char* buffer, size_t size) {
    ORTU_String text;
    if (!read_file(file_name, text))
        return List_Writer(buffer, size).finish();
    return section_names(text.c_str(), text.length(), buffer, size);
}

size_t ORTU_Ini_Reader::file_section(const char* file_name, const char* name, char* buffer,
                                     size_t size) {
    ORTU_String text;
    if (!read_file(file_name, text))
        return List_Writer(buffer, size).finish();
    return section(text.c_str(), text.length(), name, buffer, size);
}

const char* ORTU_Ini_Reader::lookup(const char* entries, const char* key) {
    if (!entries || !key)
        return "";
    size_t wanted = std::strlen(key);
    for (const char* e = entries; *e; e += std::strlen(e) + 1) {
        const char* eq = std::strchr(e, '=');
        if (eq && static_cast<size_t>(eq - e) == wanted && same_nocase(e, key, wanted))
            return eq + 1;
    }
    return "";
}

// ---------------------------------------------------------------------------
// ORTU_Ini_Document

void ORTU_Ini_Document::load_text(const char* text, size_t length) {
    sections_.clear();
    Line_Cursor lines(text, length);
    const char* line;
    size_t line_length;
    // Entries before the first section, or under a broken section line, have
    // nowhere to go.
    Section* current = nullptr;
    while (lines.next(line, line_length)) {
        if (line[0] == '[') {
            const char* name;
            size_t name_length;
            if (section_name(line, line_length, name, name_length)) {
                sections_.push_back(Section{ORTU_String(name, name_length), {}});
                current = &sections_.back();
            } else {
                current = nullptr;
            }
            continue;
        }
        const char *key, *value;
        size_t key_length, value_length;
        if (!current || !ORTU_Ini_Reader::parse_entry(line, line_length, &key, &key_length, &value,
                                                      &value_length))
            continue;
        ORTU_String entry(key, key_length);
        entry.append('=');
        entry.append(value, value_length);
        current->entries.push_back(std::move(entry));
    }
}

bool ORTU_Ini_Document::load_file(const char* file_name) {
    ORTU_String text;
    if (!ORTU_Ini_Reader::read_file(file_name, text)) {
        sections_.clear();
        return false;
    }
    load_text(text.c_str(), text.length());
    return true;
}

void ORTU_Ini_Document::set_section(const char* name, const std::vector<ORTU_String>& entries) {
    if (!name)
        return;
    for (Section& s : sections_) {
        if (s.name.equals_nocase(name)) {
            s.name = name;
            s.entries = entries;
            return;
        }
    }
    sections_.push_back(Section{ORTU_String(name), entries});
}

void ORTU_Ini_Document::set_section(const char* name, const char* entries) {
    std::vector<ORTU_String> list;
    if (entries) {
        for (const char* e = entries; *e; e += std::strlen(e) + 1)
            list.emplace_back(e);
    }
    set_section(name, list);
}

const ORTU_Ini_Document::Section* ORTU_Ini_Document::find_section(const char* name) const {
    if (!name)
        return nullptr;
    for (const Section& s : sections_) {
        if (s.name.equals_nocase(name))
            return &s;
    }
    return nullptr;
}

const char* ORTU_Ini_Document::value(const char* section, const char* key) const {
    const Section* s = find_section(section);
    if (!s || !key)
        return "";
    size_t wanted = std::strlen(key);
    for (const ORTU_String& e : s->entries) {
        const char* eq = std::strchr(e.c_str(), '=');
        if (eq && static_cast<size_t>(eq - e.c_str()) == wanted &&
            same_nocase(e.c_str(), key, wanted))
            return eq + 1;
    }
    return "";
}

bool ORTU_Ini_Document::save(const char* file_name) const {
    if (!file_name)
        return false;
    FILE* raw = std::fopen(file_name, "wb");
    if (!raw)
        return false;
    struct File_Closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, File_Closer> file(raw);
    for (const Section& s : sections_) {
        if (ortu_fprintf(file.get(), "[%s]\n", s.name.c_str()) < 0)
            return false;
        for (const ORTU_String& e : s.entries) {
            const char* eq = std::strchr(e.c_str(), '=');
            ORTU_String key = eq ? ORTU_String(e.c_str(), static_cast<size_t>(eq - e.c_str())) : e;
            if (ortu_fprintf(file.get(), "%s=%s\n", key.c_str(), eq ? eq + 1 : "") < 0)
                return false;
        }
    }
    // A full disk shows up at the close, when the last buffer goes out.
    return std::fclose(file.release()) == 0;
}
