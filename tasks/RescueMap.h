// The rescue map of a disk image: which byte ranges of the source were copied, which
// failed, and which are still to be tried, kept in GNU ddrescue's mapfile format so that
// a copy started here can be continued with ddrescue and the other way round.
//
// Format notes (text, one item per line, '#' starts a comment line):
//
//   # current_pos  current_status  current_pass
//   0x00120000     ?               1
//   #      pos        size  status
//   0x00000000  0x00117000  +
//   0x00117000  0x00000200  -
//
// The first line that is not a comment is the status line: where the copy was, which
// phase it was in ('?' copying, '*' trimming, '/' scraping, '-' retrying, 'F' filling,
// 'G' generating, '+' finished) and, optionally, the pass of that phase. Every later line
// is a block: position, size (both in bytes; decimal, 0x-hex or 0-octal as C's strtoull
// with base 0 reads them), and its status: '?' not tried, '*' failed in a large read and
// not trimmed, '/' trimmed and not scraped, '-' a bad sector, '+' copied. Blocks follow
// each other without gaps or overlaps. We always write the whole extent of the source
// from byte 0, as ddrescue does; a map read here may start later or end earlier, and
// the parts it does not describe count as not tried.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rescue {
// Block states, as the format writes them.
enum : char {
  kNonTried = '?',
  kNonTrimmed = '*',
  kNonScraped = '/',
  kBadSector = '-',
  kFinished = '+',
};
}  // namespace rescue

class CRescueMap {
 public:
  struct Block {
    uint64_t nPos = 0;
    uint64_t nSize = 0;
    char cStatus = rescue::kNonTried;
  };

  // An empty map of size bytes, all of it not tried.
  explicit CRescueMap(uint64_t size = 0);

  // Parses a mapfile's text. False with *error (the line number and what is wrong) for
  // text that is not a mapfile: a bad status character, blocks with gaps or overlaps,
  // numbers that overflow, a block reaching past size. On success the map covers
  // [0, size) and what the text does not describe is not tried.
  bool Parse(const std::string& text, uint64_t size, std::string* error);
  // The mapfile text (comment lines, status line, blocks in order).
  std::string Format() const;

  // Reads and parses the file at path; false with *error.
  bool Load(const std::string& path, uint64_t size, std::string* error);
  // Writes the map to path atomically: a temporary file beside it is written, flushed
  // to the disk and renamed over path, and the folder is flushed, so that a crash leaves
  // either the old map or the new one. False with *error; path is then unchanged.
  bool Save(const std::string& path, std::string* error) const;

  // Gives [pos, pos + size) the status (clipped to the map); neighbours of the same
  // status are merged.
  void Set(uint64_t pos, uint64_t size, char status);
  // The status of the byte at pos (kFinished past the end: nothing to do there).
  char StatusAt(uint64_t pos) const;
  // The first block of status at or after pos that overlaps [pos, end), clipped to
  // [pos, end); false when there is none.
  bool Next(char status, uint64_t pos, uint64_t end, Block* out) const;
  // Bytes in [begin, end) with the status.
  uint64_t Count(char status, uint64_t begin = 0, uint64_t end = UINT64_MAX) const;
  // Every block in order.
  std::vector<Block> Blocks() const;

  uint64_t Size() const { return m_nSize; }

  // The status line.
  uint64_t m_nCurrentPos = 0;
  char m_cCurrentStatus = rescue::kNonTried;
  int m_nCurrentPass = 1;
  // Free text written as comment lines at the top (the program and its command).
  std::vector<std::string> m_header;

 private:
  // Start -> (end, status); covers [0, m_nSize) without gaps.
  struct Extent {
    uint64_t nEnd;
    char cStatus;
  };
  std::map<uint64_t, Extent> m_blocks;
  uint64_t m_nSize = 0;
  // Splits the block holding pos so that a block starts at pos (pos < m_nSize).
  void SplitAt(uint64_t pos);
};

// Whether c is a block status of the format.
bool IsRescueBlockStatus(char c);
