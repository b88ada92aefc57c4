#include "parameters/multilayertable.h"

#include <cmath>
#include <sstream>
#include <vector>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "framework/strutil.h"
#include "parameters/tableblock.h"

namespace {

std::string WithoutLineEnd(const std::string& line) {
  std::string s = line;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

void ParseMultilayerLanduseEntry(multilayer_landuse_entry& entry, DiagStream& diag, const std::string& blockText,
                                 const std::string& where) {
  const TableBlock block(blockText);
  const std::string place = where.empty() ? std::string() : " (" + where + ")";
  if (!block.Has("Landuse_Layers")) {
    diag << "FATAL: multiple landuse table: parameter Landuse_Layers not found " << blockText.c_str() << place.c_str()
         << "[end-entry]";
    throw 112;
  }
  auto fail = [&](const std::string& detail) {
    diag << "FATAL: multilayer_landuse_table code " << entry.code << ": some parameters could not be read\n"
         << blockText.c_str() << ("\n" + detail + place).c_str() << "[end-entry]";
    throw 110;
  };
  std::istringstream header(blockText);
  int code = 0;
  std::string name;
  if (header >> code) entry.code = code;
  if (!header || !(header >> name)) fail("expected the code and the name at the start of the header line");
  if (name.size() > static_cast<size_t>(multilayer_landuse_entry::kMaxNameLength))
    fail("the name is longer than " + std::to_string(multilayer_landuse_entry::kMaxNameLength) + " characters");
  entry.name = name;

  std::string text;
  block.FindValueText("Landuse_Layers", text);
  std::vector<std::string> tokens;
  SplitString(text, " \t", tokens, false);
  std::vector<int> codes(1, 0);
  for (const std::string& token : tokens) {
    int layerCode = 0;
    if (TableBlock::ParseIntToken(token, layerCode))
      codes.push_back(layerCode);
    else if (token.find_first_not_of("\r\n") != std::string::npos)
      fail("\"Landuse_Layers\" holds \"" + WithoutLineEnd(token) + "\", not a land-use code");
  }
  if (codes.size() < 2) fail("\"Landuse_Layers\" needs the land-use code of at least one layer");
  entry.Landuse_Layers = codes;
  entry.count = static_cast<int>(codes.size()) - 1;
  entry.LayerIndexes = codes;
  if (!block.ConvertDouble("k_extinct", entry.k_extinct)) entry.k_extinct = 0.3;
  if (!block.ConvertDouble("LAI_scale", entry.LAI_scale)) entry.LAI_scale = 10.0;
  // The light extinction through the layers and the resistance that grows
  // with the leaf area above a layer: neither is negative.
  for (auto [key, value] : {std::pair{"k_extinct", entry.k_extinct}, std::pair{"LAI_scale", entry.LAI_scale}}) {
    if (std::isfinite(value) && value >= 0.0) continue;
    std::ostringstream shown;
    shown << value;
    fail(std::string(key) + " = " + shown.str() + ": it has to be a number of 0 or more");
  }
}

std::unique_ptr<multilayer_landuse_entry[]> ReadMultilayerLanduseTable(ControlFile& file, DiagStream& diag) {
  const std::string section = "[multilayer_landuse]";
  if (!FindTableSection(file, diag, section, false)) return nullptr;
  const int n = ReadTableCount(file, diag, section);
  auto table = std::make_unique<multilayer_landuse_entry[]>(static_cast<size_t>(n) + 1);
  for (int k = 1; k <= n; ++k) table[k].code = k;
  table[0].code = n;

  std::string line;
  for (int k = 1; k <= n; ++k) {
    if (!file.GetLine(line)) {
      diag << "FATAL: multilayer_landuse_table: the control file " << file.SourceName().c_str() << " ends after "
           << k - 1 << " of " << n << " entries of " << section.c_str() << "[end-entry]";
      throw 110;
    }
    const int firstLine = file.LineNumber();
    // Every entry is a block; a line that starts none would leave a type
    // without layers, which the layer grids cannot use.
    if (line.find("Landuse_Layers") == std::string::npos && line.find('{') == std::string::npos) {
      diag << "FATAL: multiple landuse table: parameter Landuse_Layers not found " << WithoutLineEnd(line).c_str()
           << "\nexpected a table block for entry " << k << " of " << section.c_str() << " ("
           << WhereInFile(file, firstLine).c_str() << ")"
           << "[end-entry]";
      throw 112;
    }
    std::string text = line;
    if (!TableBlock::ReadRest(file, text)) {
      diag << "FATAL: multilayer_landuse_table code " << table[k].code << ": some parameters could not be read\n"
           << text.c_str() << "\nthe control file ends inside this table block, before its closing \"}\" ("
           << WhereInFile(file, firstLine).c_str() << ")"
           << "[end-entry]";
      throw 110;
    }
    ParseMultilayerLanduseEntry(table[k], diag, text, WhereInFile(file, firstLine));
    if (k >= 2 && table[k].count != table[k - 1].count) {
      diag << "FATAL: \nThe numbers of landuse layers has to be equal for all multilayer-landuse types\n"
           << "(here: multilayer-landuse type " << table[k].code << ": " << table[k].count
           << " layers, but multilayer-landuse type " << table[k - 1].code << ": " << table[k - 1].count
           << " layers)\n\n"
           << "[end-entry]";
      throw 111;
    }
  }
  return table;
}
