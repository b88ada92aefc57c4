// The one diagnostics channel of a process.
//
// A message is an *entry*: a chain of insertions closed by a text that holds
// "[end-entry]". The first text of an entry may carry a level prefix
// ("FATAL: ", "ERROR: ", "WARNING: ", "INFO: ", "DEBUG: ", "SKIP: ").
// Rank 0 copies every entry to the console (the prefix removed, but for the
// level words FATAL, ERROR and WARNING, which begin their line). Every rank writes
// the entries up to the chosen level to its own XML file in the PI diagnostics
// format (root element Diag, version 1.2), so that an error found on one
// instance only is not lost.
#pragma once

#include <fstream>
#include <iomanip>
#include <ostream>
#include <string>

class DiagStream {
 public:
  // fileName may be empty (default "Fluvex_Diag.xml"); maxLevel 0 (FATAL) ... 4 (DEBUG).
  // Throws int 320 when the XML file can be opened neither under its name nor
  // under the default name.
  DiagStream(const std::string& fileName, int maxLevel);
  // As above with another console stream (tests capture the console with it).
  DiagStream(const std::string& fileName, int maxLevel, std::ostream* consoleStream);
  ~DiagStream();
  DiagStream(const DiagStream&) = delete;
  DiagStream& operator=(const DiagStream&) = delete;

  DiagStream& operator<<(const char* text);
  DiagStream& operator<<(const std::string& text);
  DiagStream& operator<<(char c);
  DiagStream& operator<<(int v);
  DiagStream& operator<<(unsigned int v);
  DiagStream& operator<<(unsigned long v);
  DiagStream& operator<<(long v);
  DiagStream& operator<<(long long v);
  DiagStream& operator<<(float v);
  DiagStream& operator<<(double v);
  DiagStream& operator<<(const void* p);
  DiagStream& operator<<(decltype(std::setw(0)) width);
  DiagStream& operator<<(DiagStream& (*manip)(DiagStream&)) { return manip(*this); }

  std::ostream& Console() { return *console; }
  const std::string& FileName() const { return fileName; }
  int Rank() const { return rank; }
  int Size() const { return size; }
  int MaxLevel() const { return maxLevel; }
  bool EntryClosed() const { return entryClosed; }
  // While on, entries of level 4 (DEBUG, and texts without a prefix) reach
  // neither the console nor the file: the routine reports of a task that
  // runs again and again (the statistics written at every report interval).
  void QuietDebug(bool on) { quietDebug = on; }

  // Maps a "-diaglevel:" value (already upper case) to 0 ... 4.
  static int LevelFromName(const std::string& upperName);
  // "name up to its last dot" + "_" + rank + ".xml"; empty name: Fluvex_Diag.xml.
  static std::string RankFileName(const std::string& name, int rank);
  // Escapes a text for the description attribute and cuts dash runs to two.
  static std::string EscapeXml(const std::string& text);
  // For a signal handler (async-signal-safe): appends one FATAL element with
  // the text (no level prefix, no XML special characters) and the closing lines to the XML
  // file of the live stream, so that a run ended by a signal leaves a
  // well-formed file; the stream writes nothing more. Entries are flushed
  // whole, so the file ends with a complete element when a signal comes.
  static void CloseOnSignal(const char* text);

 private:
  void Open();
  template <typename T>
  DiagStream& InsertValue(const T& v);
  void ValueEntryStep();
  void XmlText(const std::string& text);
  void WriteElementStart();
  void CloseOpenElement();
  bool FileGood() const { return xmlFile.is_open() && xmlFile.good(); }
  std::string ConsoleLinePrefix() const;
  static std::string TimeStamp();

  int rank = 0;
  int size = 1;
  std::ofstream xmlFile;
  int signalFd = -1;  // the XML file opened for appending, for CloseOnSignal
  std::ostream* console;
  bool entryClosed = true;
  bool entrySuppressed = false;
  int entryLevel = 0;
  std::string pendingXml;
  std::string fileName;
  int maxLevel = 4;
  bool quietDebug = false;
  bool entryQuiet = false;          // the open entry is left out (QuietDebug when it began)
  bool consoleLeadPending = false;  // the console has the level word of the entry but no text yet
  bool Quiet() const { return entryQuiet; }
};
