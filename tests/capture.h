// Standard output caught in a file while a Capture lives: what the tool
// prints, as it reaches the system. The unit tests' fake and the fuzzer
// both run the tool under one.
#ifndef DRAVLET_TESTS_CAPTURE_H_
#define DRAVLET_TESTS_CAPTURE_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

class Capture {
 public:
  Capture() {
    std::fflush(stdout);
    // One file for every capture, emptied for each.
    static std::FILE* const kFile = std::tmpfile();
    file_ = kFile;
    std::rewind(file_);
    static_cast<void>(ftruncate(fileno(file_), 0));
    saved_ = dup(1);
    dup2(fileno(file_), 1);
#ifdef _WIN32
    // Untranslated, so that the messages are caught as the tool writes them.
    _setmode(1, _O_BINARY);
#endif
  }

  ~Capture() {
    std::fflush(stdout);
#ifdef _WIN32
    _setmode(1, _O_TEXT);
#endif
    dup2(saved_, 1);
    close(saved_);
  }

  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // What has reached the file so far; what standard output still buffers
  // has not.
  std::string text() const {
    std::string text;
    std::rewind(file_);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) text.append(chunk, n);
    return text;
  }

 private:
  std::FILE* file_;
  int saved_;
};

#endif  // DRAVLET_TESTS_CAPTURE_H_
