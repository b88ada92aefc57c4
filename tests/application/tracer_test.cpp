// Tracer settings of [substance_transport].
#include <gtest/gtest.h>

#include "application/tracerini.h"
#include "tests/support/diagcapture.h"

using fluvextest::DiagCapture;
using fluvextest::WriteFile;

namespace {

const std::string kNitrate =
    "Nitrate non_radioactive non_evaporating min_conc = 0.5 max_conc = 50 mg/l soilini = 2.5 gwini = 1.5 "
    "statcode = 11 gridcode = 12 path = out/ statext = sta gridext = grd";

class TracerTest : public ::testing::Test {
 protected:
  TracerTest() : diag("tracer") {}
  // Reads a control file whose [substance_transport] holds the count and the lines.
  int Read(const std::string& count, const std::vector<std::string>& lines) {
    std::string text = "[model_time]\n1\n\n[substance_transport]\n" + count + "   number of tracers\n";
    for (const std::string& l : lines) text += l + "\n";
    const std::string name = diag.Dir() / "control.txt";
    WriteFile(name, text);
    if (object) object->FreeMemory();
    int error = -1;
    object = std::make_unique<tracer_ini_class>(error, diag.get(), name, count_, tracers, ModelObjectArgs{});
    return error;
  }
  ~TracerTest() override {
    if (object) object->FreeMemory();
  }
  bool Said(const std::string& text) const { return diag.Console().find(text) != std::string::npos; }
  // A line of the Nitrate tracer with one text replaced.
  static std::string With(const std::string& from, const std::string& to) {
    std::string line = kNitrate;
    line.replace(line.find(from), from.size(), to);
    return line;
  }

  DiagCapture diag;
  std::unique_ptr<tracer_ini_class> object;
  int count_ = -1;
  TracerRecord* tracers = nullptr;
};

}  // namespace

TEST_F(TracerTest, LinesWithTheirKeywordsInAnyOrder) {
  // The word after the max_conc value is its unit, so a max_conc without unit stands at the end.
  ASSERT_EQ(Read("2", {kNitrate,
                       "  O2 evaporating gridext = g2 statext = s2 path = p/ gridcode = 0 statcode = -1 "
                       "gwini = 0 soilini = 1e-3 min_conc = -1 radioactive half_time = 30 d max_conc = 8"}),
            0)
      << diag.Console();
  ASSERT_EQ(count_, 2);
  const TracerRecord& n = tracers[1];
  EXPECT_EQ(n.name, "nit");
  EXPECT_EQ(n.radioactive, 0);  // "non_radioactive" holds "radioactive" too
  EXPECT_EQ(n.half_time, -9999);
  EXPECT_EQ(n.evaporating, 0);
  EXPECT_DOUBLE_EQ(n.min_conc, 0.5);
  EXPECT_DOUBLE_EQ(n.max_conc, 50);  // used as written, whatever its unit
  EXPECT_DOUBLE_EQ(n.soilini, 2.5);
  EXPECT_DOUBLE_EQ(n.gwini, 1.5);
  EXPECT_EQ(n.statcode, 11);
  EXPECT_EQ(n.gridcode, 12);
  EXPECT_EQ(n.path, "out/");
  EXPECT_EQ(n.statext, "sta");
  EXPECT_EQ(n.gridext, "grd");
  const TracerRecord& o = tracers[2];
  EXPECT_EQ(o.name, "o2_");
  EXPECT_EQ(o.radioactive, 1);
  EXPECT_DOUBLE_EQ(o.half_time, 30.0);
  EXPECT_EQ(o.evaporating, 1);
  EXPECT_DOUBLE_EQ(o.max_conc, 8);  // no unit word: kg/kg
  EXPECT_DOUBLE_EQ(o.soilini, 1e-3);
  EXPECT_EQ(o.statcode, -1);
  EXPECT_EQ(o.gridext, "g2");
  EXPECT_TRUE(Said("reading parameters for tracer 2 ..."));
}

TEST_F(TracerTest, NoTracersAndTooMany) {
  EXPECT_EQ(Read("0", {}), 0);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(tracers, nullptr);
  EXPECT_EQ(diag.FatalEntries(), 0);
  // Ten tracers stop the reading before any tracer line is read.
  EXPECT_EQ(Read("10", {"garbage"}), 58);
  EXPECT_TRUE(Said("not more than 9 tracer species are allowed at one time (they need a very lot of memory!)"));
  EXPECT_FALSE(Said("reading parameters for tracer 1"));
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(Read("nine", {}), 17);
  EXPECT_EQ(Read("-1", {}), 58);
  EXPECT_TRUE(Said("the number of tracers in [substance_transport] is -1 (control file"));
}

TEST_F(TracerTest, NamesWithTheSameFirstThreeLettersStop) {
  EXPECT_EQ(Read("2", {kNitrate, With("Nitrate", "NITrogen")}), 59);
  EXPECT_TRUE(
      Said(std::string(
               "substance #2 and substance #1 have the same\nfirst 3 chars (lowercase) in its name (nit <-> nit)\n\n")
               .append(50, '-')))
      << diag.Console();
}

TEST_F(TracerTest, BadKeywordsAndValues) {
  struct Case {
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      {With("non_radioactive", "stable"),
       "need a key word \"radioactive\" or \"non_radioactive\"\n(may be, the number "
       "of tracers (1) is wrong?"},
      {With("non_radioactive", "radioactive"), "error in tracer_info_table tracer 1: need a \"half_time = xxxx d\""},
      // The value follows the first "=" after the keyword, wherever it stands.
      {With("non_radioactive", "radioactive") + " half_time 30 d", "no \"half_time =\" found!"},
      {With("non_radioactive", "radioactive half_time 30 d"), "no \"d\" for measure found!"},
      {With("non_radioactive", "radioactive half_time = 30 days"), "no \"d\" for measure found!"},
      {With("non_radioactive", "radioactive half_time = 0 d"),
       "error in half_time for tracer 1: must be greater than 0!"},
      {With("non_radioactive", "radioactive half_time = x d"), "error reading half_time for tracer 1"},
      {With("non_evaporating", "dry"), "need a key word \"evaporating\" or \"non_evaporating\""},
      {With("min_conc = 0.5", "min = 0.5"), "need a key word \"min_conc = xxxx\""},
      {With("min_conc = 0.5", "min_conc = x"), "error reading min_conc for tracer 1"},
      {With("50 mg/l", "50 mol/l"),
       "wrong measure (only mg/l, g/l or kg/kg resp. no measure are allowed!)\nread "
       "here: mol/l"},
      {With("gwini = 1.5", "gwini = ?"), "error reading gwini for tracer 1!"},
      {With("statcode = 11", "statcode 11"),
       "error reading statcode for tracer 1:\nneed a key word \"statcode = "
       "xxxx\""},
      {With("gridcode = 12", "gridcode = x"), "error reading gridcode for tracer 1!"},
      {With("statext = sta", std::string("statext = ").append(300, 's')), "error reading statext for tracer 1!"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read("1", {c.line}), 56) << c.line;
    EXPECT_TRUE(Said(c.message)) << c.line << "\n" << diag.Console();
  }
  // Too few lines for the count: the missing line lacks every keyword.
  EXPECT_EQ(Read("2", {kNitrate}), 56);
  EXPECT_TRUE(Said("(may be, the number of tracers (2) is wrong?"));
}

TEST_F(TracerTest, UnitsAndValuesThatAreAccepted) {
  auto line = [](const std::string& name, const std::string& maxConc) {
    std::string l = With("50 mg/l", maxConc);
    return l.replace(0, 7, name);
  };
  // A max_conc value that is no number is not reported and stays 0.
  ASSERT_EQ(Read("3", {line("Nitrate", "none"), line("Ca", "7 Kg/Kg"), line("K", "50 g/l")}), 0) << diag.Console();
  EXPECT_DOUBLE_EQ(tracers[1].max_conc, 0);
  EXPECT_DOUBLE_EQ(tracers[2].max_conc, 7);
  EXPECT_DOUBLE_EQ(tracers[3].max_conc, 50);
  EXPECT_EQ(tracers[3].name, "k__");
}
