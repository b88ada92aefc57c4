// Reader of dated tables: year, month, day, hour and a fixed number of values
// per record, read in blocks that fit a byte budget. The file is open only
// while a block is read, so many series can be followed at once.
//
// File format: any leading lines that do not begin with a decimal digit are a
// header. The first data line fixes the number of value columns N (the numbers
// after the four date fields up to the first word that is not a number, so a
// comment there does not count). From then on records are a stream of 4 + N
// numbers, wherever the line breaks fall.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class DiagStream;

class timeseriesfile {
 public:
  // States of the reader.
  static constexpr int kNotOpened = 0;
  static constexpr int kMoreBlocks = 1;   // the block is full, more records may follow
  static constexpr int kDataEnded = 2;    // the data ended within this block
  static constexpr int kCannotOpen = 3;   // the file cannot be opened
  static constexpr int kPastEnd = 4;      // the cursor has passed the last record
  static constexpr int kFormatError = 5;  // no data line or a record that cannot be read

  // Longest first data line and longest number word that are read.
  static constexpr size_t kMaxFirstLine = 65536;
  static constexpr size_t kMaxWord = 256;

  timeseriesfile() = default;
  // diag, when given, receives the FATAL entry of the thrown errors 201 and 202.
  timeseriesfile(const std::string& fileName, int flag, int64_t budget, DiagStream* diag = nullptr);
  ~timeseriesfile();
  timeseriesfile(const timeseriesfile&) = delete;
  timeseriesfile& operator=(const timeseriesfile&) = delete;

  // Opens the table and reads its first block. Does nothing and returns 0 when
  // the reader was opened before; otherwise returns the number of header lines
  // skipped, or 3 or 5 on failure (the state tells which). Throws 202 when the
  // start of the data cannot be located, 201 when the first data line cannot
  // be read.
  int Open(const std::string& fileName, int flag, int64_t budget);
  // Releases the records; a series still being read is over (kPastEnd).
  void Clear();
  // Reads the next block when the state is kMoreBlocks.
  void Refill();
  // Advances the cursor; at the last record of a full block the next block is
  // read, at the last record of the data the state becomes kPastEnd.
  void Next();
  // Sets the cursor when -1 <= index <= count; otherwise nothing changes.
  void Seek(int64_t index);
  void SeekRelative(int64_t offset);
  // Date and values of the record at the cursor; -9999 when the cursor stands
  // on no record or i is outside 0 ... N - 1.
  void GetDate(int& year, int& month, int& day, int& hour) const;
  double GetValue(int i) const;

  int GetState() const { return state; }
  int64_t GetColumns() const { return columns; }
  int64_t GetBlockSize() const { return blockSize; }
  int64_t GetCount() const { return count; }
  int64_t GetCursor() const { return cursor; }
  int GetFlag() const { return flag; }
  // Where and why the reading stopped with kCannotOpen or kFormatError.
  const std::string& ErrorText() const { return errorText; }

 private:
  struct RecordDate {
    int64_t year;
    int64_t month;
    int64_t day;
    int64_t hour;
  };
  class Input;

  void ReadBlock();
  [[noreturn]] void Fail(int code, const std::string& why);
  bool OnRecord() const { return cursor >= 0 && cursor < count && !dates.empty(); }

  std::string fileName;
  int flag = 0;
  int64_t budget = 0;
  DiagStream* diag = nullptr;
  int64_t fileSize = 0;
  int64_t dataStart = 0;          // offset of the first data line
  int64_t nextOffset = 0;         // offset of the next unread record
  int64_t nextLine = 1;           // line number at nextOffset
  int64_t columns = 0;            // N
  int64_t blockSize = 0;          // B, records per block
  std::vector<RecordDate> dates;  // B + 1 records
  std::vector<double> values;     // B rows of N values
  int64_t count = 0;
  int64_t cursor = 0;
  int state = kNotOpened;
  std::string errorText;
};
