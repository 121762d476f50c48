// The private profile (INI file) on POSIX: PlatformProfileReadInt and
// PlatformProfileWriteString with the rules of the Win32 functions they stand in for.
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
// - The value read is handed to ParseProfileInt; a missing file, section or
//   key, or an empty value, gives the fallback.
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
// - A missing file is created (mode 0666 less the umask).
// - New line ends follow the file: CR LF if its first line end is CR LF, LF
//   otherwise (and for a new file).
// - Every other byte of the file is copied unchanged. The new content goes to
//   a temporary file in the same directory, which is flushed to disk and then
//   renamed over the old one, so a reader sees either the old file or the new
//   one and a failure leaves the old one as it was. The temporary file takes
//   the old file's mode and owner; a symbolic link is written through to its
//   target.
// - Refused (false, file untouched): a file without any write permission bit
//   or not writable by us (Win32 refuses read-only files, even to an
//   administrator), a path that is not a regular file, and names or values
//   that would break the format (line ends anywhere, '=' in a key or '[',
//   ';' or '#' at its start, ']' in a section name, an empty or over-long
//   name).
//
// Limits: no dynamic memory. Files are streamed through a fixed 8 KiB buffer,
// so any size is handled; a rewrite reads the file twice (once to find the
// spot, once to copy it). Lines are judged by their first 1 KiB: a line whose
// name or header does not end within it never matches, and a value is read
// from that part only. Names are limited to 255 characters. The static
// buffers make these functions non-reentrant, which suits the driver's single
// thread.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

const size_t kChunkSize = 8192;
const size_t kHeadSize = 1024;
const size_t kMaxNameLength = 255;

struct Scanner {
  int fd;
  uint64_t offset;  // file offset of chunk[pos]
  size_t pos;
  size_t len;
  bool eof;
  bool error;
  char chunk[kChunkSize];
};

struct Line {
  uint64_t start;        // offset of its first byte
  uint64_t content_end;  // offset after its content, before the line end
  uint64_t end;          // offset after the line end
  bool has_eol;
  bool crlf;
  bool truncated;  // longer than head
  size_t head_len;
  char head[kHeadSize];  // the first bytes of the content
};

enum LineKind { kBlankLine, kSectionLine, kEntryLine, kCommentLine };

struct Text {
  const char* p;
  size_t n;
};

struct ParsedLine {
  LineKind kind;
  bool name_known;  // false when the name runs past the head
  Text name;
  Text value;
};

Scanner g_scanner;
Line g_line;
char g_value[kHeadSize + 1];
char g_target[PATH_MAX];
char g_temp[PATH_MAX + 48];
char g_dir[PATH_MAX + 48];
unsigned g_temp_counter;

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

void StartScan(Scanner* s, int fd) {
  s->fd = fd;
  s->offset = 0;
  s->pos = 0;
  s->len = 0;
  s->eof = false;
  s->error = false;
}

bool Refill(Scanner* s) {
  while (!s->eof && !s->error) {
    const ssize_t n = read(s->fd, s->chunk, kChunkSize);
    if (n > 0) {
      s->pos = 0;
      s->len = static_cast<size_t>(n);
      return true;
    }
    if (n == 0) {
      s->eof = true;
    } else if (errno != EINTR) {
      s->error = true;
    }
  }
  return false;
}

// The next line of the file; false at its end or on a read error.
bool NextLine(Scanner* s, Line* line) {
  line->start = s->offset;
  line->head_len = 0;
  line->has_eol = false;
  line->crlf = false;
  uint64_t content_len = 0;
  bool last_cr = false;
  for (;;) {
    if (s->pos == s->len && !Refill(s)) {
      if (s->error || content_len == 0) return false;
      break;  // a last line without a line end
    }
    const char c = s->chunk[s->pos++];
    ++s->offset;
    if (c == '\n') {
      line->has_eol = true;
      if (last_cr) {
        // The CR belongs to the line end; drop it from the head if it got in.
        line->crlf = true;
        if (line->head_len == content_len) --line->head_len;
        --content_len;
      }
      break;
    }
    if (line->head_len < kHeadSize) line->head[line->head_len++] = c;
    ++content_len;
    last_cr = c == '\r';
  }
  line->content_end = line->start + content_len;
  line->end = s->offset;
  line->truncated = content_len > line->head_len;
  return true;
}

void ParseLine(const Line* line, ParsedLine* parsed) {
  const char* begin = line->head;
  const char* end = begin + line->head_len;
  if (line->start == 0 && line->head_len >= 3 && memcmp(begin, "\xEF\xBB\xBF", 3) == 0) {
    begin += 3;
  }
  while (begin < end && IsBlank(*begin)) ++begin;
  parsed->name_known = false;
  parsed->name = Text{begin, 0};
  parsed->value = Text{end, 0};
  if (begin == end) {
    parsed->kind = line->truncated ? kEntryLine : kBlankLine;
    return;
  }
  if (*begin == '[') {
    const char* close = nullptr;
    for (const char* p = begin + 1; p < end; ++p) {
      if (*p == ']') close = p;
    }
    if (close != nullptr || line->truncated) {
      // A header: its name is known only if no later ']' can hide past the head.
      parsed->kind = kSectionLine;
      if (close != nullptr && !line->truncated) {
        parsed->name = Trim(begin + 1, close);
        parsed->name_known = true;
      }
      return;
    }
  }
  parsed->kind = *begin == ';' || *begin == '#' ? kCommentLine : kEntryLine;
  const char* equals = static_cast<const char*>(memchr(begin, '=', end - begin));
  if (equals != nullptr) {
    parsed->name = Trim(begin, equals);
    parsed->name_known = true;
    parsed->value = Trim(equals + 1, end);
  } else if (!line->truncated) {
    parsed->name = Trim(begin, end);
    parsed->name_known = true;
  }
}

bool Matches(const ParsedLine* parsed, Text name) {
  return parsed->name_known && SameName(parsed->name, name);
}

bool ValidName(Text name) { return name.n > 0 && name.n <= kMaxNameLength; }

bool HasAny(const char* s, const char* chars) { return strpbrk(s, chars) != nullptr; }

// Where the new text goes: bytes [cut_start, cut_end) of the old file are
// replaced by it.
struct Edit {
  uint64_t cut_start;
  uint64_t cut_end;
  bool eol_before;   // the line before has no line end yet
  bool blank_before;
  bool new_section;
  bool eol_after;
  bool crlf;
};

// Scans the file open on `fd` (or none, -1) for the section and the key.
bool PlanEdit(int fd, Text section, Text key, Edit* edit) {
  bool crlf_known = false;
  bool crlf = false;
  bool in_section = false;
  bool section_found = false;
  uint64_t insert_at = 0;
  bool insert_needs_eol = false;
  uint64_t size = 0;
  bool ends_with_eol = false;
  bool last_blank = true;

  if (fd >= 0) {
    Scanner* s = &g_scanner;
    Line* line = &g_line;
    ParsedLine parsed;
    StartScan(s, fd);
    while (NextLine(s, line)) {
      if (!crlf_known && line->has_eol) {
        crlf_known = true;
        crlf = line->crlf;
      }
      size = line->end;
      ends_with_eol = line->has_eol;
      ParseLine(line, &parsed);
      last_blank = parsed.kind == kBlankLine;
      if (parsed.kind == kSectionLine) {
        if (in_section) break;  // the section ends here without the key
        if (!section_found && Matches(&parsed, section)) {
          section_found = true;
          in_section = true;
          insert_at = line->end;
          insert_needs_eol = !line->has_eol;
        }
        continue;
      }
      if (!in_section || parsed.kind != kEntryLine) continue;
      if (Matches(&parsed, key)) {
        // In place: the line's own line end stays.
        edit->cut_start = line->start;
        edit->cut_end = line->content_end;
        edit->eol_before = false;
        edit->blank_before = false;
        edit->new_section = false;
        edit->eol_after = false;
        edit->crlf = crlf;
        return true;
      }
      insert_at = line->end;
      insert_needs_eol = !line->has_eol;
    }
    if (s->error) return false;
  }

  edit->crlf = crlf;
  edit->eol_after = true;
  if (section_found) {
    edit->cut_start = edit->cut_end = insert_at;
    edit->eol_before = insert_needs_eol;
    edit->blank_before = false;
    edit->new_section = false;
  } else {
    edit->cut_start = edit->cut_end = size;
    edit->eol_before = size > 0 && !ends_with_eol;
    edit->blank_before = size > 0 && !last_blank;
    edit->new_section = true;
  }
  return true;
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

// Copies bytes from `from` of `in` to `out`: `count` of them, or all up to the
// end of the file when `to_end`. The file must still hold them.
bool CopyBytes(int in, uint64_t from, uint64_t count, bool to_end, int out) {
  if (lseek(in, static_cast<off_t>(from), SEEK_SET) < 0) return false;
  char* buffer = g_scanner.chunk;
  while (to_end || count > 0) {
    const size_t want = !to_end && count < kChunkSize ? static_cast<size_t>(count) : kChunkSize;
    const ssize_t n = read(in, buffer, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      if (to_end) return true;
      errno = EIO;  // the file shrank under us
      return false;
    }
    if (!WriteFully(out, buffer, static_cast<size_t>(n))) return false;
    if (!to_end) count -= static_cast<uint64_t>(n);
  }
  return true;
}

// Creates the temporary file next to `target`; -1 on failure.
int CreateTemp(const char* target) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = snprintf(g_temp, sizeof g_temp, "%s.%ld.%u.tmp", target,
                                static_cast<long>(getpid()), g_temp_counter++);
    if (length < 0 || static_cast<size_t>(length) >= sizeof g_temp) {
      errno = ENAMETOOLONG;
      return -1;
    }
    const int fd = open(g_temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Makes the rename durable; a failure here loses nothing already written.
void SyncDirectoryOf(const char* target) {
  const char* slash = strrchr(target, '/');
  if (slash == nullptr) {
    strcpy(g_dir, ".");
  } else if (slash == target) {
    strcpy(g_dir, "/");
  } else {
    const size_t length = static_cast<size_t>(slash - target);
    memcpy(g_dir, target, length);
    g_dir[length] = '\0';
  }
  const int fd = open(g_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

bool Refuse(int error) {
  errno = error;
  return false;
}

}  // namespace

uint32_t PlatformProfileReadInt(const char* section, const char* key, int32_t fallback,
                        const char* path) {
  const uint32_t missing = static_cast<uint32_t>(fallback);
  if (section == nullptr || key == nullptr || path == nullptr) return missing;
  const Text section_name = Trimmed(section);
  const Text key_name = Trimmed(key);
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return missing;

  uint32_t result = missing;
  Scanner* s = &g_scanner;
  Line* line = &g_line;
  ParsedLine parsed;
  bool in_section = false;
  StartScan(s, fd);
  while (NextLine(s, line)) {
    ParseLine(line, &parsed);
    if (parsed.kind == kSectionLine) {
      if (in_section) break;
      in_section = Matches(&parsed, section_name);
      continue;
    }
    if (in_section && parsed.kind == kEntryLine && Matches(&parsed, key_name)) {
      memcpy(g_value, parsed.value.p, parsed.value.n);
      g_value[parsed.value.n] = '\0';
      result = ParseProfileInt(g_value, fallback);
      break;
    }
  }
  close(fd);
  return result;
}

bool PlatformProfileWriteString(const char* section, const char* key, const char* value,
                        const char* path) {
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr) {
    return Refuse(EINVAL);
  }
  const Text section_name = Trimmed(section);
  const Text key_name = Trimmed(key);
  if (!ValidName(section_name) || !ValidName(key_name) || HasAny(section, "\r\n]") ||
      HasAny(key, "\r\n=") || strchr("[;#", key_name.p[0]) != nullptr ||
      HasAny(value, "\r\n")) {
    return Refuse(EINVAL);
  }

  const char* target = path;
  struct stat info;
  if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
    if (realpath(path, g_target) == nullptr) return false;
    target = g_target;
  }
  bool exists = true;
  if (stat(target, &info) != 0) {
    if (errno != ENOENT) return false;
    exists = false;
  }
  int in = -1;
  if (exists) {
    if (!S_ISREG(info.st_mode)) return Refuse(EINVAL);
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
        faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
      return Refuse(EACCES);
    }
    in = open(target, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return false;
  }

  Edit edit;
  if (!PlanEdit(in, section_name, key_name, &edit)) {
    const int error = errno;
    if (in >= 0) close(in);
    return Refuse(error);
  }

  const int out = CreateTemp(target);
  if (out < 0) {
    const int error = errno;
    if (in >= 0) close(in);
    return Refuse(error);
  }
  if (exists) {
    // Keep the file's mode and, where we may, its owner.
    fchmod(out, info.st_mode & 07777);
    if (info.st_uid != geteuid() || info.st_gid != getegid()) {
      if (fchown(out, info.st_uid, info.st_gid) != 0) {
        // Not ours to give away: the file becomes ours, as any rewrite would.
      }
    }
  }

  const char* eol = edit.crlf ? "\r\n" : "\n";
  bool ok = in < 0 || CopyBytes(in, 0, edit.cut_start, false, out);
  if (ok && edit.eol_before) ok = WriteString(out, eol);
  if (ok && edit.blank_before) ok = WriteString(out, eol);
  if (ok && edit.new_section) {
    ok = WriteString(out, "[") && WriteText(out, section_name) && WriteString(out, "]") &&
         WriteString(out, eol);
  }
  if (ok) ok = WriteText(out, key_name) && WriteString(out, "=") && WriteString(out, value);
  if (ok && edit.eol_after) ok = WriteString(out, eol);
  if (ok && in >= 0) ok = CopyBytes(in, edit.cut_end, 0, true, out);
  if (ok) ok = fsync(out) == 0;
  int error = errno;
  if (close(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (in >= 0) close(in);
  if (ok && rename(g_temp, target) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(g_temp);
    return Refuse(error);
  }
  SyncDirectoryOf(target);
  return true;
}
