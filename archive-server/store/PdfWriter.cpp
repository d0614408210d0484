#include "PdfWriter.h"

#include <cstdio>

namespace vqarchive {

namespace {

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// UTF-8 to the WinAnsi bytes of the standard fonts, as a PDF string body.
std::string pdfString(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        unsigned cp = '?';
        size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        i += len;
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp > 0xFF)
            cp = '?';
        const char c = static_cast<char>(cp);
        if (c == '(' || c == ')' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

const char* fontName(PdfFont f) {
    switch (f) {
    case PdfFont::regular:
        return "/F1";
    case PdfFont::bold:
        return "/F2";
    case PdfFont::mono:
        return "/F3";
    }
    return "/F1";
}

} // namespace

PdfDocument::PdfDocument(std::string title) : title_(std::move(title)) {}

void PdfDocument::newPage() {
    pages_.emplace_back();
}

std::string& PdfDocument::page() {
    if (pages_.empty())
        newPage();
    return pages_.back();
}

void PdfDocument::text(double x, double y, double size, PdfFont font, const std::string& utf8) {
    page() += "BT " + std::string(fontName(font)) + " " + num(size) + " Tf " + num(x) + " " +
              num(y) + " Td (" + pdfString(utf8) + ") Tj ET\n";
}

void PdfDocument::line(double x1, double y1, double x2, double y2, double width) {
    page() +=
        num(width) + " w " + num(x1) + " " + num(y1) + " m " + num(x2) + " " + num(y2) + " l S\n";
}

void PdfDocument::rect(double x, double y, double w, double h, double width) {
    page() += num(width) + " w " + num(x) + " " + num(y) + " " + num(w) + " " + num(h) + " re S\n";
}

std::vector<uint8_t> PdfDocument::bytes() const {
    std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offsets; // of objects 1..n
    const auto object = [&](const std::string& body) {
        offsets.push_back(out.size());
        out += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    const size_t pages = pages_.empty() ? 1 : pages_.size();
    // Objects: 1 catalog, 2 page tree, 3-5 fonts, 6 info, then a page and
    // its content stream for each page.
    const size_t firstPage = 7;
    object("<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (size_t p = 0; p < pages; ++p)
        kids += std::to_string(firstPage + 2 * p) + " 0 R ";
    object("<< /Type /Pages /Kids [ " + kids + "] /Count " + std::to_string(pages) + " >>");
    object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
    object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding "
           "/WinAnsiEncoding >>");
    object("<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding /WinAnsiEncoding >>");
    object("<< /Title (" + pdfString(title_) + ") /Producer (vqarchived) >>");
    for (size_t p = 0; p < pages; ++p) {
        const std::string content = pages_.empty() ? std::string() : pages_[p];
        object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + num(kWidth) + " " + num(kHeight) +
               "] /Resources << /Font << /F1 3 0 R /F2 4 0 R /F3 5 0 R >> >> /Contents " +
               std::to_string(firstPage + 2 * p + 1) + " 0 R >>");
        object("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
               "\nendstream");
    }
    const size_t xref = out.size();
    out += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t off : offsets) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", off);
        out += entry;
    }
    out += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
           " /Root 1 0 R /Info 6 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return {out.begin(), out.end()};
}

} // namespace vqarchive
