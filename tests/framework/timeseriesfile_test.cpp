#include "framework/timeseriesfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/framework/codeof.h"
#include "tests/support/diagcapture.h"

using fluvextest::DiagCapture;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

struct Record {
  int year, month, day, hour;
  std::vector<double> values;
  bool operator==(const Record&) const = default;
};

// Every record from the cursor on, as a caller steps through a series.
std::vector<Record> ReadAll(timeseriesfile& t) {
  std::vector<Record> records;
  while (t.GetState() == timeseriesfile::kMoreBlocks || t.GetState() == timeseriesfile::kDataEnded) {
    Record r;
    t.GetDate(r.year, r.month, r.day, r.hour);
    for (int i = 0; i < t.GetColumns(); ++i) r.values.push_back(t.GetValue(i));
    records.push_back(r);
    t.Next();
  }
  return records;
}

// Hourly records with two values; every seventh record is split over two lines.
std::vector<Record> WriteSeries(const std::string& path, int n, const std::string& tail) {
  std::vector<Record> expected;
  std::string text = "discharge table\nYY MM DD HH q1 q2\n";
  for (int i = 0; i < n; ++i) {
    Record r{2001, 3, 1 + i / 24, i % 24, {i * 0.25, 100.0 - i}};
    expected.push_back(r);
    text += std::to_string(r.year) + " " + std::to_string(r.month) + " " + std::to_string(r.day) + " " +
            std::to_string(r.hour) + (i % 7 == 3 ? "\n" : "\t") + std::to_string(r.values[0]) + " " +
            std::to_string(r.values[1]) + (i == 0 ? " m3/s, gauge 12" : "") + "\n";
  }
  WriteFile(path, text + tail);
  return expected;
}

TEST(TimeSeriesFile, HeaderSkippedAndColumnsCountedUpToTheFirstWord) {
  TempDir dir("ts_header");
  WriteFile(dir / "a.txt", "Inflow\n\nyear month day hour q\n1984 1 1 24 1.5 -2e-1 comment 3\n1984 1 2 24 3.5 4.5\n");
  timeseriesfile t;
  EXPECT_EQ(t.Open(dir / "a.txt", 7, 1000000), 3);
  EXPECT_EQ(t.GetColumns(), 2);
  EXPECT_EQ(t.Open(dir / "a.txt", 0, 1000000), 0);  // already open: nothing happens
  EXPECT_EQ(t.GetFlag(), 7);
  const std::vector<Record> records = ReadAll(t);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{1984, 1, 1, 24, {1.5, -0.2}}));
  EXPECT_EQ(records[1], (Record{1984, 1, 2, 24, {3.5, 4.5}}));
  EXPECT_EQ(t.GetState(), timeseriesfile::kPastEnd);

  // Only a date: no value columns.
  WriteFile(dir / "b.txt", "1984 1 1 24\n1984 1 2 24\n");
  timeseriesfile dates(dir / "b.txt", 0, 1000000);
  EXPECT_EQ(dates.GetColumns(), 0);
  EXPECT_EQ(ReadAll(dates).size(), 2u);
}

TEST(TimeSeriesFile, CursorAndValuesOutsideTheRecordsGiveMissingValues) {
  TempDir dir("ts_cursor");
  WriteSeries(dir / "s.txt", 5, "");
  timeseriesfile t(dir / "s.txt", 0, 1000000);
  ASSERT_EQ(t.GetCount(), 5);
  EXPECT_EQ(std::vector<double>({t.GetValue(-1), t.GetValue(2), t.GetValue(1)}),
            std::vector<double>({-9999, -9999, 100}));
  t.Seek(4);
  EXPECT_EQ(t.GetValue(0), 1.0);
  t.Seek(5);  // behind the last record: accepted
  EXPECT_EQ(t.GetCursor(), 5);
  EXPECT_EQ(t.GetValue(0), -9999);
  int y, m, d, h;
  t.GetDate(y, m, d, h);
  EXPECT_EQ(y, -9999);
  t.Seek(6);  // ignored
  EXPECT_EQ(t.GetCursor(), 5);
  t.SeekRelative(-6);
  EXPECT_EQ(t.GetCursor(), -1);
  t.SeekRelative(-1);
  EXPECT_EQ(t.GetCursor(), -1);
  t.SeekRelative(3);
  t.GetDate(y, m, d, h);
  EXPECT_EQ(h, 2);
}

TEST(TimeSeriesFile, SmallBlocksGiveTheSameRecordsAsOneBlock) {
  TempDir dir("ts_blocks");
  // Two values per record: one record takes 2 * 8 + 16 = 32 bytes of budget.
  for (int n : {100, 99, 1}) {
    const std::vector<Record> expected = WriteSeries(dir / "s.txt", n, "\n\n   \n");
    timeseriesfile whole(dir / "s.txt", 0, 1000000);
    EXPECT_EQ(whole.GetBlockSize(), 1000000 / 32);
    EXPECT_EQ(ReadAll(whole), expected) << n << " records in one block";
    for (int64_t budget : {96, 95, 32, 1}) {
      timeseriesfile blocks(dir / "s.txt", 0, budget);
      EXPECT_EQ(blocks.GetBlockSize(), std::max<int64_t>(1, budget / 32));
      EXPECT_EQ(ReadAll(blocks), expected) << n << " records, budget " << budget;
      EXPECT_EQ(blocks.GetState(), timeseriesfile::kPastEnd);
    }
  }
  // A full block is followed by the next one, the cursor at its start again.
  WriteSeries(dir / "s.txt", 7, "");
  timeseriesfile t(dir / "s.txt", 0, 96);
  t.Seek(2);
  t.Next();
  EXPECT_EQ(t.GetCursor(), 0);
  EXPECT_EQ(t.GetValue(1), 97);
  EXPECT_EQ(t.GetState(), timeseriesfile::kMoreBlocks);
  // Released records end the series: stepping and refilling read nothing.
  t.Clear();
  t.Next();
  t.Refill();
  EXPECT_EQ(t.GetState(), timeseriesfile::kPastEnd);
  int year = 0, month = 0, day = 0, hour = 0;
  t.GetDate(year, month, day, hour);
  EXPECT_EQ(year, -9999);
  EXPECT_EQ(t.GetValue(0), -9999);
}

TEST(TimeSeriesFile, EndOfDataAndFailures) {
  TempDir dir("ts_fail");
  DiagCapture diag("ts_fail_diag");
  timeseriesfile missing;
  EXPECT_EQ(missing.Open(dir / "none.txt", 0, 1000), timeseriesfile::kCannotOpen);
  EXPECT_EQ(missing.GetState(), timeseriesfile::kCannotOpen);

  WriteFile(dir / "header.txt", "only\na header\n");
  timeseriesfile header;
  EXPECT_EQ(header.Open(dir / "header.txt", 0, 1000), timeseriesfile::kFormatError);

  // Trailing bytes that are no record: up to 9 of them are ignored.
  WriteFile(dir / "tail.txt", "2001 1 1 1 5\n2001 1 1 2 6\n\x1a\x1a");
  timeseriesfile tail(dir / "tail.txt", 0, 1000);
  EXPECT_EQ(ReadAll(tail).size(), 2u);

  // A bad record ends the series with state 5 when its block is read; Next keeps it.
  WriteFile(dir / "bad.txt", "2001 1 1 1 5\n2001 1 1 2 6\n2001 1 1 3 x\n2001 1 1 4 8\n");
  timeseriesfile bad(dir / "bad.txt", 0, 48);  // two records per block
  EXPECT_EQ(ReadAll(bad).size(), 2u);
  EXPECT_EQ(bad.GetState(), timeseriesfile::kFormatError);
  bad.Next();
  EXPECT_EQ(bad.GetState(), timeseriesfile::kFormatError);
  EXPECT_NE(bad.ErrorText().find("line 3"), std::string::npos);

  WriteFile(dir / "cut.txt", "2001 1 1 1 5 6\n2001 1 1 2 7 8\n2001 1 1 3 9\n\n\n\n\n\n\n\n\n\n\n");
  timeseriesfile cut(dir / "cut.txt", 0, 1000);
  EXPECT_EQ(cut.GetState(), timeseriesfile::kFormatError);

  // A header line that begins with a digit is taken as the first data line.
  WriteFile(dir / "digit.txt", "3 header lines\n2001 1 1 1 5\n");
  timeseriesfile digit;
  EXPECT_EQ(CodeOf([&] { digit.Open(dir / "digit.txt", 0, 1000); }), 201);
  WriteFile(dir / "wide.txt", "2001 1 1 1" + std::string(70000, ' ') + "5\n");
  EXPECT_EQ(CodeOf([&] { timeseriesfile wide(dir / "wide.txt", 0, 1000, diag.get()); }), 201);
  EXPECT_NE(diag.Console().find("error reading time series file " + (dir / "wide.txt") +
                                ": the first data line (line 1) is longer than 65536 characters"),
            std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 1);
}

}  // namespace
