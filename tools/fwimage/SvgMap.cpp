// The flash map as an SVG picture: the descriptor regions to scale, each firmware
// volume enlarged with its files to scale, the layout table's areas, and optionally what
// a flash update did to each erase block.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "tools/fwimage/Guid.h"
#include "tools/fwimage/ImageBuilder.h"
#include "tools/fwimage/TextFormat.h"

namespace fwimage {

namespace {

constexpr double kLeft = 20;
constexpr double kWidth = 1160;
constexpr double kPictureWidth = kLeft * 2 + kWidth;

std::string Escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    }
  }
  return out;
}

std::string SizeText(uint64_t v) { return SizeWithUnit(v, "bytes"); }

const char* RegionColour(unsigned index) {
  switch (index) {
    case 0: return "#9e9e9e";  // descriptor
    case 1: return "#64b5f6";  // BIOS
    case 2: return "#ffb74d";  // ME
    case 3: return "#81c784";  // GbE
    case 4: return "#ba68c8";  // platform data
    case 8: return "#f06292";  // EC
    default: return "#4db6ac";
  }
}

const char* FileColour(const FileInfo& f) {
  if (f.IsPad()) return "#eeeeee";
  if (f.IsVolumeTop()) return "#8d6e63";
  if (!f.area.empty()) return "#ffd54f";
  if (GuidEquals(f.name, kFlashLayoutFileGuid)) return "#ff8a65";
  if (f.type == EFI_FV_FILETYPE_SMM) return "#7986cb";
  if (f.type == EFI_FV_FILETYPE_DRIVER) return "#4fc3f7";
  return "#a5d6a7";
}

std::string FileLabel(const FileInfo& f) {
  if (f.IsPad()) return "pad file";
  if (f.IsVolumeTop()) return "volume top file";
  if (!f.area.empty()) return f.area + " area";
  if (GuidEquals(f.name, kFlashLayoutFileGuid)) return "flash layout file";
  if (!f.ui.empty()) return f.ui;
  std::string known = KnownGuidName(f.name);
  return known.empty() ? "file" : known;
}

class Svg {
 public:
  void Rect(double x, double y, double w, double h, const std::string& fill, const std::string& stroke = "#333",
            double stroke_width = 0.5) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\" stroke=\"%s\" stroke-width=\"%.2f\"/>\n",
                  x, y, std::max(w, 0.8), h, fill.c_str(), stroke.c_str(), stroke_width);
    body_ << line;
  }
  void Text(double x, double y, const std::string& text, const std::string& attrs = "") {
    char pos[64];
    std::snprintf(pos, sizeof pos, "x=\"%.2f\" y=\"%.2f\"", x, y);
    body_ << "<text " << pos << " " << attrs << ">" << Escape(text) << "</text>\n";
  }
  void Line(double x1, double y1, double x2, double y2, const std::string& attrs = "stroke=\"#777\" stroke-width=\"0.7\"") {
    char line[160];
    std::snprintf(line, sizeof line, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" ", x1, y1, x2, y2);
    body_ << line << attrs << "/>\n";
  }
  void Raw(const std::string& s) { body_ << s; }
  std::string Finish(double height, const std::string& title) const {
    std::ostringstream o;
    char head[256];
    std::snprintf(head, sizeof head,
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                  "font-family=\"monospace\" font-size=\"11\">\n",
                  kPictureWidth, height, kPictureWidth, height);
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" << head;
    o << "<title>" << Escape(title) << "</title>\n";
    o << "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    o << body_.str() << "</svg>\n";
    return o.str();
  }

 private:
  std::ostringstream body_;
};

// What happened to a run of blocks, for the overlay colours.
const char* BlockColour(const BlockMark& b) {
  if (b.erased && b.programmed) return "#e65100";
  if (b.erased) return "#c62828";
  if (b.programmed) return "#1565c0";
  return "#cfd8dc";
}

// Draws the blocks that fall in [from, from + span) scaled onto [x0, x0 + width).
void DrawBlocks(Svg& svg, const std::vector<BlockMark>& blocks, uint64_t from, uint64_t span, double x0, double width, double y,
                double h) {
  double scale = width / static_cast<double>(span);
  size_t i = 0;
  while (i < blocks.size()) {
    // Merge neighbouring blocks that share their state into one rectangle.
    size_t j = i + 1;
    uint64_t end = blocks[i].offset + blocks[i].size;
    while (j < blocks.size() && blocks[j].offset == end && blocks[j].erased == blocks[i].erased &&
           blocks[j].programmed == blocks[i].programmed) {
      end += blocks[j].size;
      ++j;
    }
    uint64_t a = std::max(blocks[i].offset, from);
    uint64_t b = std::min(end, from + span);
    if (a < b) svg.Rect(x0 + (a - from) * scale, y, (b - a) * scale, h, BlockColour(blocks[i]), "none", 0);
    i = j;
  }
}

}  // namespace

std::string RenderSvgMap(const ImageInfo& info, const SvgOptions& options) {
  Svg svg;
  double y = 28;
  std::string title = options.title.empty() ? "Flash map" : options.title;
  svg.Text(kLeft, y, title + " - " + SizeText(info.size), "font-size=\"16\" font-weight=\"bold\"");
  y += 22;

  std::vector<BlockMark> blocks = options.blocks;
  std::sort(blocks.begin(), blocks.end(), [](const BlockMark& a, const BlockMark& b) { return a.offset < b.offset; });

  // Whole flash, regions to scale.
  const double flashScale = kWidth / static_cast<double>(std::max<uint64_t>(info.size, 1));
  const double barY = y + 16;
  const double barH = 44;
  svg.Text(kLeft, y + 8, "Flash regions (to scale)");
  svg.Rect(kLeft, barY, kWidth, barH, "#ffffff");
  std::vector<RegionInfo> regions = info.regions;
  if (!info.has_descriptor)
    regions.push_back({1, "BIOS", static_cast<uint32_t>(info.bios_base), static_cast<uint32_t>(info.bios_limit)});
  double labelY = barY + barH + 14;
  int smallLabels = 0;
  for (const RegionInfo& r : regions) {
    double x = kLeft + r.base * flashScale;
    double w = (static_cast<double>(r.limit) - r.base + 1) * flashScale;
    svg.Rect(x, barY, w, barH, RegionColour(r.index));
    std::string label = r.name + " " + SizeText(uint64_t(r.limit) - r.base + 1);
    if (w > label.size() * 6.8 + 8) {
      svg.Text(x + 4, barY + 18, label, "font-weight=\"bold\"");
      svg.Text(x + 4, barY + 34, Hex(r.base, 8) + "-" + Hex(r.limit, 8));
    } else {
      // Too narrow to hold its name: label it below with a leader line.
      double ly = labelY + 13 * smallLabels++;
      svg.Line(x + w / 2, barY + barH, x + w / 2, ly - 9);
      svg.Text(x + w / 2 + 3, ly, label + " " + Hex(r.base, 8) + "-" + Hex(r.limit, 8), "font-weight=\"bold\"");
    }
  }
  y = labelY + 13 * smallLabels + 6;

  if (!blocks.empty()) {
    svg.Text(kLeft, y + 8, "Flash update, per erase block");
    DrawBlocks(svg, blocks, 0, info.size, kLeft, kWidth, y + 14, 14);
    struct Legend {
      const char* name;
      BlockMark mark;
    };
    const Legend legend[] = {{"erased and programmed", {0, 0, true, true}},
                             {"erased only", {0, 0, true, false}},
                             {"programmed only", {0, 0, false, true}},
                             {"skipped", {0, 0, false, false}}};
    double lx = kLeft;
    for (const Legend& l : legend) {
      size_t count = std::count_if(blocks.begin(), blocks.end(), [&](const BlockMark& b) {
        return b.erased == l.mark.erased && b.programmed == l.mark.programmed;
      });
      svg.Rect(lx, y + 34, 10, 10, BlockColour(l.mark));
      std::string text = std::string(l.name) + ": " + std::to_string(count);
      svg.Text(lx + 14, y + 43, text);
      lx += text.size() * 6.8 + 40;
    }
    y += 56;
  }

  // Each volume enlarged below, with its files to scale.
  int volumeNumber = 0;
  for (const VolumeInfo& v : info.volumes) {
    y += 24;
    double vx = kLeft + v.offset * flashScale;
    double vw = std::max(v.length * flashScale, 1.0);
    double zoomY = y + 22;
    // Mark the volume on the flash bar; the enlarged view below carries the same tag.
    std::string tag = "FV" + std::to_string(++volumeNumber);
    svg.Rect(vx, barY - 4, vw, barH + 8, "none", "#0d47a1", 1.5);
    svg.Text(vx + vw / 2 - 8, barY - 7, tag, "fill=\"#0d47a1\" font-weight=\"bold\"");
    svg.Text(kLeft, y + 14,
             tag + ": firmware volume at flash " + Hex(v.offset, 8) + " (address " + Hex(v.physical, 8) + "), " + SizeText(v.length) +
                 (info.VolumeAtBasePointer() == &v ? ", named by the pointer at 0xFFFFFFFC" : ""),
             "font-weight=\"bold\"");
    const double scale = kWidth / static_cast<double>(std::max<uint64_t>(v.length, 1));
    const double h = 40;
    svg.Rect(kLeft, zoomY, kWidth, h, "#ffffff");
    svg.Rect(kLeft, zoomY, v.header_length * scale, h, "#bdbdbd");
    for (const FileInfo& f : v.files)
      svg.Rect(kLeft + (f.offset - v.offset) * scale, zoomY, f.size * scale, h, FileColour(f));
    if (v.free_offset < v.offset + v.length)
      svg.Text(kLeft + (v.free_offset - v.offset) * scale + 4, zoomY + 25, "free space", "fill=\"#777\"");
    double ly = zoomY + h;
    if (!blocks.empty()) {
      DrawBlocks(svg, blocks, v.offset, v.length, kLeft, kWidth, ly + 2, 8);
      ly += 10;
    }
    // The file list, with leader lines to each file.
    ly += 18;
    int row = 0;
    for (const FileInfo& f : v.files) {
      double fx = kLeft + (f.offset - v.offset + f.size / 2.0) * scale;
      double ty = ly + 14 * row;
      svg.Line(fx, zoomY + h, fx, zoomY + h + 4);
      svg.Rect(kLeft, ty - 9, 10, 10, FileColour(f));
      char size[40];
      std::snprintf(size, sizeof size, "%8u bytes", f.size);
      std::string line = Hex(f.offset, 8) + "  " + FormatGuid(f.name) + "  " + size + "  " + FileLabel(f);
      if (!(f.header_checksum_ok && f.data_checksum_ok && f.state_complete)) line += "  (checksum or state wrong)";
      svg.Text(kLeft + 16, ty, line);
      ++row;
    }
    y = ly + 14 * row;
    if (v.has_layout) {
      y += 12;
      svg.Text(kLeft, y, "Layout table at " + Hex(info.PhysicalAddress(v.layout_table_offset), 8) + ": " +
                             std::to_string(v.layout.size()) + " areas", "font-weight=\"bold\"");
      for (const LayoutEntryInfo& e : v.layout) {
        y += 14;
        const FileInfo* area = info.FindFile(e.guid);
        svg.Rect(kLeft, y - 9, 10, 10, "#ffd54f");
        svg.Text(kLeft + 16, y,
                 e.signature + "  " + FormatGuid(e.guid) + "  area at " + Hex(e.area_address, 8) + ", " +
                     std::to_string(e.area_size) + " bytes" + (area ? "" : "  (no such file)"));
        if (area) {
          // Mark the area's data on the enlarged volume.
          double ax = kLeft + (area->DataOffset() - v.offset) * scale;
          svg.Rect(ax, zoomY - 5, std::max(e.area_size * scale, 1.0), 4, "#f9a825", "none", 0);
        }
      }
    }
  }
  if (!info.problems.empty()) {
    y += 24;
    svg.Text(kLeft, y, "Problems", "font-weight=\"bold\" fill=\"#c62828\"");
    for (const std::string& p : info.problems) {
      y += 14;
      svg.Text(kLeft, y, p, "fill=\"#c62828\"");
    }
  }
  return svg.Finish(y + 24, title);
}

}  // namespace fwimage
