// A small PDF writer for the demo faxes: pages of text in the standard
// fonts and drawn lines, enough for any PDF reader to open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vqarchive {

enum class PdfFont { regular, bold, mono };

class PdfDocument {
public:
    // A4 in points.
    static constexpr double kWidth = 595;
    static constexpr double kHeight = 842;

    explicit PdfDocument(std::string title = {});

    void newPage();
    size_t pageCount() const { return pages_.size(); }

    // Coordinates in points from the bottom left corner. Text is UTF-8; what
    // the standard fonts cannot show (outside Latin-1) comes out as '?'.
    void text(double x, double y, double size, PdfFont font, const std::string& utf8);
    void line(double x1, double y1, double x2, double y2, double width = 1.0);
    void rect(double x, double y, double w, double h, double width = 1.0);

    std::vector<uint8_t> bytes() const;

private:
    std::string& page();

    std::string title_;
    std::vector<std::string> pages_; // content streams
};

} // namespace vqarchive
