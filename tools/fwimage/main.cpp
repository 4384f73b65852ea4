// fwimage: builds flash images and FFS files from descriptions, and shows what an image
// holds (terminal text, JSON or an SVG map).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "tools/fwimage/ImageBuilder.h"
#include "tools/JsonText.h"

namespace {

namespace fs = std::filesystem;

// Written next to the target and renamed into place, so a failure never leaves a
// half-written file behind.
void WriteAtomically(const fs::path& path, const void* data, size_t size) {
  fs::path tmp = path;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write '" + tmp.string() + "'");
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
      fs::remove(tmp);
      throw std::runtime_error("cannot write '" + tmp.string() + "'");
    }
  }
  fs::rename(tmp, path);
}

std::vector<uint8_t> ReadImage(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read '" + path.string() + "'");
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"fwimage: build and inspect SPI flash images and FFS files"};
  app.require_subcommand(1);

  std::string description, output;
  CLI::App* build = app.add_subcommand("build", "build a flash image from a TOML description");
  build->add_option("description", description, "image description (.toml)")->required();
  build->add_option("-o,--output", output, "image file to write")->required();

  std::string image_path, svg_path;
  bool json = false;
  CLI::App* show = app.add_subcommand("show", "print the regions, volumes, files and layout table of an image");
  show->add_option("image", image_path, "flash image")->required();
  show->add_option("--svg", svg_path, "also draw the flash map into this SVG file");
  show->add_flag("--json", json, "print JSON instead of text");

  std::string file_spec, ffs_out;
  CLI::App* ffs = app.add_subcommand("ffs", "package one FFS file from a [file] description (driver image, raw data)");
  ffs->add_option("description", file_spec, "file description (.toml)")->required();
  ffs->add_option("-o,--output", ffs_out, ".ffs file to write")->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (*build) {
      std::vector<uint8_t> image = fwimage::BuildImageFromFile(description);
      WriteAtomically(output, image.data(), image.size());
      fwimage::ImageInfo info = fwimage::InspectImage(image);
      std::printf("%s: %zu bytes, %zu volume(s)\n", output.c_str(), image.size(), info.volumes.size());
    } else if (*show) {
      std::vector<uint8_t> image = ReadImage(image_path);
      fwimage::ImageInfo info = fwimage::InspectImage(image);
      if (json) std::cout << JsonText(fwimage::ImageInfoToJson(info)) << "\n";
      else std::cout << fwimage::FormatImageInfo(info);
      if (!svg_path.empty()) {
        fwimage::SvgOptions options;
        options.title = fs::path(image_path).filename().string();
        std::string svg = fwimage::RenderSvgMap(info, options);
        WriteAtomically(svg_path, svg.data(), svg.size());
      }
    } else if (*ffs) {
      fwimage::FileDescription item = fwimage::LoadFileDescription(file_spec);
      std::vector<uint8_t> bytes = fwimage::EncodeFfsFile(item);
      WriteAtomically(ffs_out, bytes.data(), bytes.size());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fwimage: %s\n", e.what());
    return 1;
  }
  return 0;
}
