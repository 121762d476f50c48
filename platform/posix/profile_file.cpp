// The private profile (INI file) on POSIX: PlatformProfileReadInt and
// PlatformProfileWriteString with the rules of the Win32 functions they stand
// in for. The tests that run the driver on this layer read and rewrite
// config.ini through them, so they keep the Win32 rules those tests check,
// and nothing more.
//
// Format and matching:
// - A section header is a line whose first non-blank character is '[' and
//   that has a ']'; the name lies between the '[' and the last ']'. Any other
//   non-blank line is an entry: the key is the text before the first '=' (the
//   whole line when there is none, which then has an empty value), the value
//   the text after it. Names and values are taken with surrounding blanks
//   (spaces, tabs) removed; names match case-insensitively (ASCII).
// - Only the first section of a name counts, and in it only the first entry of
//   a key, for reading and for rewriting alike. Entries before the first
//   header belong to no section.
// - Line ends are LF or CR LF; a UTF-8 byte-order mark at the start of the
//   file is skipped when judging the first line (and kept).
// - The value read is handed to ParseProfileInt; a missing or unreadable file,
//   section or key, or an empty value, gives the fallback.
//
// Rewriting:
// - An existing entry: its line is replaced by "key=value" (the key as the
//   caller spells it); the line end it had is kept.
// - A missing key: "key=value" goes after the section's last key line (not
//   after trailing blank or comment lines, which belong to what follows; a
//   comment starts with ';' or '#'), or right after the header when the
//   section has no key yet.
// - A missing section: appended at the end of the file, after an empty line
//   unless the file is empty or already ends with one.
// - New line ends follow the file: CR LF if its first line end is CR LF, LF
//   otherwise (and for a new file).
// - Every other byte of the file is copied unchanged. The new content goes to
//   "<path>.tmp", which is then renamed over the file: a reader sees the old
//   file or the new one, and a failed write leaves the old one as it was. The
//   new file is made with mode 0666 less the umask, like a missing file; a
//   symbolic link is replaced by the new file.
// - Refused (false, errno set, file untouched): a null argument, a path that
//   is not a regular file, and a file without any write permission bit or
//   not writable by us. Win32 refuses read-only files, even to an
//   administrator; the rename needs only the folder's permission, so the
//   file's own is checked first.
//
// Limits: no dynamic memory. The file is read whole into a static 1 MiB
// buffer; a larger one reads as missing and is not rewritten (EFBIG). The
// static buffers make these functions non-reentrant, which suits the
// driver's single thread.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

const size_t kMaxFileSize = 1 << 20;

// The file's bytes, and one more for the end of a value read.
char g_file[kMaxFileSize + 1];
size_t g_size;
char g_temp[PATH_MAX + 8];

struct Text {
  const char* p;
  size_t n;
};

enum LineKind { kBlankLine, kSectionLine, kEntryLine, kCommentLine };

struct Line {
  size_t start;        // offset of its first byte
  size_t content_end;  // offset after its content, before the line end
  size_t end;          // offset after the line end
  bool has_eol;
  bool crlf;
  LineKind kind;
  Text name;  // the section's name, or the entry's key
  Text value;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

Text Trim(const char* begin, const char* end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  return Text{begin, static_cast<size_t>(end - begin)};
}

Text Trimmed(const char* s) { return Trim(s, s + strlen(s)); }

bool SameName(Text a, Text b) {
  if (a.n != b.n) return false;
  for (size_t i = 0; i < a.n; ++i) {
    if (tolower(static_cast<unsigned char>(a.p[i])) !=
        tolower(static_cast<unsigned char>(b.p[i]))) {
      return false;
    }
  }
  return true;
}

// Reads the file at `path` into g_file. false when it cannot be opened or
// read, or is larger than the buffer (EFBIG).
bool Load(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  g_size = 0;
  bool ok = true;
  for (;;) {
    char probe;
    const bool full = g_size == kMaxFileSize;
    const ssize_t n = full ? read(fd, &probe, 1) : read(fd, g_file + g_size, kMaxFileSize - g_size);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || full) {
      if (full) errno = EFBIG;
      ok = false;
      break;
    }
    g_size += static_cast<size_t>(n);
  }
  const int error = errno;
  close(fd);
  errno = error;
  return ok;
}

// The line of g_file that starts at *at, which moves on past it; false at
// the end of the file.
bool NextLine(size_t* at, Line* line) {
  if (*at >= g_size) return false;
  line->start = *at;
  const char* eol = static_cast<const char*>(memchr(g_file + *at, '\n', g_size - *at));
  line->has_eol = eol != nullptr;
  line->end = line->has_eol ? static_cast<size_t>(eol - g_file) + 1 : g_size;
  line->content_end = line->has_eol ? line->end - 1 : g_size;
  line->crlf = line->has_eol && line->content_end > line->start &&
               g_file[line->content_end - 1] == '\r';
  if (line->crlf) --line->content_end;
  *at = line->end;

  const char* begin = g_file + line->start;
  const char* end = g_file + line->content_end;
  if (line->start == 0 && end - begin >= 3 && memcmp(begin, "\xEF\xBB\xBF", 3) == 0) begin += 3;
  while (begin < end && IsBlank(*begin)) ++begin;
  line->name = Text{begin, 0};
  line->value = Text{end, 0};
  if (begin == end) {
    line->kind = kBlankLine;
    return true;
  }
  if (*begin == '[') {
    const char* close = nullptr;
    for (const char* p = begin + 1; p < end; ++p) {
      if (*p == ']') close = p;
    }
    if (close != nullptr) {
      line->kind = kSectionLine;
      line->name = Trim(begin + 1, close);
      return true;
    }
  }
  line->kind = *begin == ';' || *begin == '#' ? kCommentLine : kEntryLine;
  const char* equals = static_cast<const char*>(memchr(begin, '=', end - begin));
  line->name = Trim(begin, equals != nullptr ? equals : end);
  if (equals != nullptr) line->value = Trim(equals + 1, end);
  return true;
}

// Where the new text goes: bytes [cut_start, cut_end) of the old file are
// replaced by it.
struct Edit {
  size_t cut_start;
  size_t cut_end;
  bool eol_before;  // the line before has no line end yet
  bool blank_before;
  bool new_section;
  bool eol_after;
  bool crlf;
};

// Finds the spot for the key in g_file.
Edit PlanEdit(Text section, Text key) {
  Edit edit = {};
  bool crlf_known = false;
  bool in_section = false;
  bool section_found = false;
  size_t insert_at = 0;
  bool insert_needs_eol = false;
  bool last_blank = true;
  bool ends_with_eol = false;
  Line line;
  size_t at = 0;
  while (NextLine(&at, &line)) {
    if (!crlf_known && line.has_eol) {
      crlf_known = true;
      edit.crlf = line.crlf;
    }
    ends_with_eol = line.has_eol;
    last_blank = line.kind == kBlankLine;
    if (line.kind == kSectionLine) {
      if (in_section) break;  // the section ends here without the key
      if (!section_found && SameName(line.name, section)) {
        section_found = in_section = true;
        insert_at = line.end;
        insert_needs_eol = !line.has_eol;
      }
      continue;
    }
    if (!in_section || line.kind != kEntryLine) continue;
    if (SameName(line.name, key)) {
      // In place: the line's own line end stays.
      edit.cut_start = line.start;
      edit.cut_end = line.content_end;
      return edit;
    }
    insert_at = line.end;
    insert_needs_eol = !line.has_eol;
  }
  edit.eol_after = true;
  if (section_found) {
    edit.cut_start = edit.cut_end = insert_at;
    edit.eol_before = insert_needs_eol;
  } else {
    edit.cut_start = edit.cut_end = g_size;
    edit.eol_before = g_size > 0 && !ends_with_eol;
    edit.blank_before = g_size > 0 && !last_blank;
    edit.new_section = true;
  }
  return edit;
}

bool WriteFully(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteText(int fd, Text text) { return WriteFully(fd, text.p, text.n); }

bool WriteString(int fd, const char* s) { return WriteFully(fd, s, strlen(s)); }

bool Refuse(int error) {
  errno = error;
  return false;
}

}  // namespace

uint32_t PlatformProfileReadInt(const char* section, const char* key, int32_t fallback,
                                const char* path) {
  const uint32_t missing = static_cast<uint32_t>(fallback);
  if (section == nullptr || key == nullptr || path == nullptr || !Load(path)) return missing;
  const Text section_name = Trimmed(section);
  const Text key_name = Trimmed(key);
  bool in_section = false;
  Line line;
  size_t at = 0;
  while (NextLine(&at, &line)) {
    if (line.kind == kSectionLine) {
      if (in_section) break;
      in_section = SameName(line.name, section_name);
    } else if (in_section && line.kind == kEntryLine && SameName(line.name, key_name)) {
      // The buffer has a byte to spare past the file's end for this.
      g_file[(line.value.p - g_file) + line.value.n] = '\0';
      return ParseProfileInt(line.value.p, fallback);
    }
  }
  return missing;
}

bool PlatformProfileWriteString(const char* section, const char* key, const char* value,
                                const char* path) {
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr) {
    return Refuse(EINVAL);
  }
  const Text section_name = Trimmed(section);
  const Text key_name = Trimmed(key);

  g_size = 0;
  struct stat info;
  if (stat(path, &info) == 0) {
    if (!S_ISREG(info.st_mode)) return Refuse(EINVAL);
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
        faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
      return Refuse(EACCES);
    }
    if (!Load(path)) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  const Edit edit = PlanEdit(section_name, key_name);

  const int length = snprintf(g_temp, sizeof g_temp, "%s.tmp", path);
  if (length < 0 || static_cast<size_t>(length) >= sizeof g_temp) return Refuse(ENAMETOOLONG);
  const int out = open(g_temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) return false;
  const char* eol = edit.crlf ? "\r\n" : "\n";
  bool ok = WriteFully(out, g_file, edit.cut_start);
  if (ok && edit.eol_before) ok = WriteString(out, eol);
  if (ok && edit.blank_before) ok = WriteString(out, eol);
  if (ok && edit.new_section) {
    ok = WriteString(out, "[") && WriteText(out, section_name) && WriteString(out, "]") &&
         WriteString(out, eol);
  }
  if (ok) ok = WriteText(out, key_name) && WriteString(out, "=") && WriteString(out, value);
  if (ok && edit.eol_after) ok = WriteString(out, eol);
  if (ok) ok = WriteFully(out, g_file + edit.cut_end, g_size - edit.cut_end);
  int error = errno;
  if (close(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(g_temp, path) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(g_temp);
    return Refuse(error);
  }
  return true;
}
