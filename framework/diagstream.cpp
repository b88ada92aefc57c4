#include "framework/diagstream.h"

#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include "framework/mpirunning.h"

namespace {

// The XML file of the live stream, appended to by CloseOnSignal; -1: none.
volatile std::sig_atomic_t signalFile = -1;

const char* const kMarker = "[end-entry]";
const size_t kMarkerLength = 11;

struct LevelPrefix {
  const char* text;
  int level;
};
const LevelPrefix kPrefixes[] = {{"FATAL: ", 0}, {"ERROR: ", 1}, {"WARNING: ", 2},
                                 {"INFO: ", 3},  {"DEBUG: ", 4}, {"SKIP: ", 5}};

// Level of the prefix at the start of text, or -1; prefixLength receives its length.
int PrefixLevel(const std::string& text, size_t& prefixLength) {
  for (const LevelPrefix& p : kPrefixes) {
    const std::string prefix(p.text);
    if (text.compare(0, prefix.size(), prefix) == 0) {
      prefixLength = prefix.size();
      return p.level;
    }
  }
  prefixLength = 0;
  return -1;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

void QueryRankAndSize(int& rank, int& size) {
  if (MpiRunning()) {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
  }
}

}  // namespace

DiagStream::DiagStream(const std::string& name, int level) : DiagStream(name, level, &std::cout) {}

DiagStream::DiagStream(const std::string& name, int level, std::ostream* consoleStream)
    : console(consoleStream), maxLevel(level) {
  QueryRankAndSize(rank, size);
  fileName = RankFileName(name, rank);
  Open();
}

int DiagStream::LevelFromName(const std::string& upperName) {
  if (upperName == "FATAL") return 0;
  if (upperName == "ERROR") return 1;
  if (upperName == "WARNING") return 2;
  if (upperName == "INFO") return 3;
  return 4;
}

std::string DiagStream::RankFileName(const std::string& name, int rankNumber) {
  std::string base = name.empty() ? std::string("Fluvex_Diag.xml") : name;
  // The extension is cut only within the last path component: a dot in a
  // directory name ("../run/diag") must not cut the path short.
  const size_t slash = base.find_last_of('/');
  const size_t dot = base.find_last_of('.');
  std::string stem = base;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) stem = base.substr(0, dot);
  return stem + "_" + std::to_string(rankNumber) + ".xml";
}

std::string DiagStream::ConsoleLinePrefix() const {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "(mpi-rank %2d) ", rank);
  return buffer;
}

std::string DiagStream::TimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return buffer;
}

void DiagStream::Open() {
  xmlFile.open(fileName, std::ios::out | std::ios::trunc);
  if (!xmlFile.is_open()) {
    const std::string prefix = ConsoleLinePrefix();
    *console << prefix << "\n ----- Warning -----\n error opening diagnostics output file " << fileName << std::endl;
    *console << prefix << "\nusing default name Fluvex_Diag.xml in actual working directory\n -------------------\n\n"
             << std::endl;
    fileName = rank == 0 ? std::string("Fluvex_Diag.xml") : RankFileName("", rank);
    xmlFile.clear();
    xmlFile.open(fileName, std::ios::out | std::ios::trunc);
    if (!xmlFile.is_open()) {
      *console << prefix << "Error opening diagnostics output file " << fileName << std::endl;
      throw 320;
    }
  }
  xmlFile << "<?xml version='1.0' encoding='UTF-8'?>\n"
          << "<Diag version=\"1.2\" xmlns=\"http://www.wldelft.nl/fews/PI\" \n"
          << "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
          << "xsi:schemaLocation=\"http://www.wldelft.nl/fews/PI "
             "http://fews.wldelft.nl/schemas/version1.0/pi-schemas/pi_diag.xsd\">\n";
  entryLevel = 3;
  WriteElementStart();
  xmlFile << "Fluvex start at " << TimeStamp() << "\"/>\n";
  xmlFile.flush();
  entryLevel = 0;
  signalFd = open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (signalFd >= 0) signalFile = signalFd;
}

void DiagStream::CloseOnSignal(const char* text) {
  const int fd = signalFile;
  if (fd < 0) return;
  signalFile = -1;  // once
  auto put = [fd](const char* t) {
    const ssize_t written = write(fd, t, std::strlen(t));
    (void)written;
  };
  put("\t<line level=\"0\" description= \"");
  put(text);
  put("\"/>\n</Diag>\n");
}

DiagStream::~DiagStream() {
  if (signalFile == signalFd) signalFile = -1;
  if (signalFd >= 0) close(signalFd);
  if (FileGood()) {
    if (!entryClosed && !entrySuppressed) xmlFile << "\"/>\n";
    entryLevel = 3;
    WriteElementStart();
    xmlFile << "Fluvex finished at " << TimeStamp() << "\"/>\n";
    xmlFile << "</Diag>\n";
  }
  if (xmlFile.is_open()) xmlFile.close();
}

void DiagStream::WriteElementStart() {
  if (!FileGood() || entrySuppressed) return;
  xmlFile << "\t<line level=\"" << entryLevel << "\" description= \"";
}

void DiagStream::CloseOpenElement() {
  if (!entryClosed && !entrySuppressed && FileGood()) {
    xmlFile << "\"/>\n";
    xmlFile.flush();
  }
}

std::string DiagStream::EscapeXml(const std::string& text) {
  std::string t = text;
  ReplaceAll(t, "&", "&amp;");
  ReplaceAll(t, "\n", ";");
  ReplaceAll(t, "<", "&lt;");
  ReplaceAll(t, ">", "&gt;");
  ReplaceAll(t, "'", "&apos;");
  ReplaceAll(t, "\"", "&quot;");
  size_t pos;
  while ((pos = t.find("---")) != std::string::npos) t.erase(pos, 1);
  // A message may echo bytes of the user's files: control characters and
  // bytes that are no UTF-8 have no place in XML and become "?".
  std::string clean;
  clean.reserve(t.size());
  for (size_t i = 0; i < t.size();) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    if (c < 0x80) {
      clean.push_back(c < 0x20 && c != '\t' ? '?' : static_cast<char>(c));
      ++i;
      continue;
    }
    // The length of a well-formed sequence from its first byte, and the
    // range of its second byte (no overlong forms, surrogates or values
    // beyond U+10FFFF).
    size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
      n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
      n = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
      n = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    bool ok = n > 0 && i + n <= t.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const unsigned char b = static_cast<unsigned char>(t[i + k]);
      ok = k == 1 ? b >= low && b <= high : b >= 0x80 && b <= 0xBF;
    }
    // U+FFFE and U+FFFF are no characters of XML either.
    if (ok && n == 3 && c == 0xEF && static_cast<unsigned char>(t[i + 1]) == 0xBF &&
        static_cast<unsigned char>(t[i + 2]) >= 0xBE)
      ok = false;
    if (ok) {
      clean.append(t, i, n);
      i += n;
    } else {
      clean.push_back('?');
      ++i;
    }
  }
  return clean;
}

void DiagStream::XmlText(const std::string& text) {
  size_t prefixLength = 0;
  const int level = PrefixLevel(text, prefixLength);
  std::string body = text.substr(prefixLength);
  if (level >= 0) {
    // A new entry starts; an element still being written is closed first so
    // that the file stays well-formed (also before a console-only SKIP entry).
    CloseOpenElement();
    entryLevel = level;
    entryQuiet = quietDebug && entryLevel == 4;
    entrySuppressed = entryLevel > maxLevel || Quiet();
    WriteElementStart();
    entryClosed = false;
  } else if (entryClosed) {
    entryLevel = 4;
    entryQuiet = quietDebug;
    entrySuppressed = entryLevel > maxLevel || Quiet();
    WriteElementStart();
    entryClosed = false;
  } else {
    entrySuppressed = entryLevel > maxLevel || Quiet();
  }
  std::string escaped = EscapeXml(body);
  if (escaped.find(kMarker) != std::string::npos && escaped.size() >= kMarkerLength)
    escaped.replace(escaped.size() - kMarkerLength, kMarkerLength, "\"/>");
  pendingXml = escaped;
}

DiagStream& DiagStream::operator<<(const char* textPointer) {
  const std::string text = textPointer ? textPointer : "";
  const bool ends = text.find(kMarker) != std::string::npos;
  std::string consoleCopy = text;
  if (ends) consoleCopy.erase(consoleCopy.size() >= kMarkerLength ? consoleCopy.size() - kMarkerLength : 0);
  // A FATAL, ERROR or WARNING line begins with its level on the console too,
  // so that it stands out among the progress lines; the other prefixes go.
  size_t prefixLength = 0;
  const int level = PrefixLevel(consoleCopy, prefixLength);
  if (level >= 3) {
    consoleCopy.erase(0, prefixLength);
    prefixLength = 0;
  }
  // A message that begins on its next line ("FATAL: \n-----") shows its level
  // word in front of its first line of text, not on a line of its own: the
  // blanks and line ends between them go (on the console only), also when
  // the text follows in a later insertion.
  if (level >= 0) consoleLeadPending = level <= 2;
  if (consoleLeadPending) {
    const size_t first = consoleCopy.find_first_not_of(" \t\r\n", prefixLength);
    consoleCopy.erase(prefixLength, (first == std::string::npos ? consoleCopy.size() : first) - prefixLength);
    if (first != std::string::npos) consoleLeadPending = false;
  }
  XmlText(text);
  const bool quiet = Quiet();
  if (rank == 0 && !consoleCopy.empty() && !quiet) *console << consoleCopy;
  if (FileGood() && !entrySuppressed) xmlFile << pendingXml;
  if (ends) {
    if (rank == 0 && !quiet) {
      *console << '\n';
      console->flush();
      *console << ConsoleLinePrefix();
    }
    if (FileGood() && !entrySuppressed) {
      xmlFile << '\n';
      xmlFile.flush();
    }
    entryClosed = true;
    entrySuppressed = false;
    consoleLeadPending = false;
  }
  return *this;
}

DiagStream& DiagStream::operator<<(const std::string& text) {
  XmlText(text);
  const size_t first = consoleLeadPending ? text.find_first_not_of(" \t\r\n") : 0;
  if (first != std::string::npos) consoleLeadPending = false;
  if (rank == 0 && !Quiet() && first != std::string::npos) *console << text.substr(first);
  if (FileGood() && !entrySuppressed) xmlFile << pendingXml;
  return *this;
}

void DiagStream::ValueEntryStep() {
  if (entryClosed) {
    entryLevel = 4;
    entryQuiet = quietDebug;
    entrySuppressed = entryLevel > maxLevel || Quiet();
    WriteElementStart();
    entryClosed = false;
  } else {
    entrySuppressed = entryLevel > maxLevel || Quiet();
  }
  pendingXml.clear();
}

template <typename T>
DiagStream& DiagStream::InsertValue(const T& v) {
  ValueEntryStep();
  consoleLeadPending = false;
  if (rank == 0 && !Quiet()) *console << v;
  if (FileGood() && !entrySuppressed) xmlFile << v;
  return *this;
}

DiagStream& DiagStream::operator<<(char c) {
  return InsertValue(c);
}
DiagStream& DiagStream::operator<<(int v) {
  return InsertValue(v);
}
DiagStream& DiagStream::operator<<(unsigned int v) {
  return InsertValue(static_cast<unsigned long>(v));
}
DiagStream& DiagStream::operator<<(unsigned long v) {
  return InsertValue(v);
}
DiagStream& DiagStream::operator<<(long v) {
  return InsertValue(v);
}
DiagStream& DiagStream::operator<<(long long v) {
  return InsertValue(v);
}
DiagStream& DiagStream::operator<<(float v) {
  return InsertValue(static_cast<double>(v));
}
DiagStream& DiagStream::operator<<(double v) {
  return InsertValue(v);
}
DiagStream& DiagStream::operator<<(const void* p) {
  return InsertValue(p);
}
DiagStream& DiagStream::operator<<(decltype(std::setw(0)) width) {
  ValueEntryStep();
  if (rank == 0 && !Quiet()) *console << width;
  if (FileGood() && !entrySuppressed) xmlFile << width;
  return *this;
}
