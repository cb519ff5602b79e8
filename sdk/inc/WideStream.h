// A wide (char16_t) output stream over a narrow one, writing UTF-8, so a
// program can hand std::cerr or a file to SDK::init as its wide log stream:
//
//   nork::CUtf8WideStream wideErr(std::cerr);
//   nork::LogConfig config{0, &wideErr};
//
// Only unformatted output (write, put, flush) is meant for it: the standard
// library has no char16_t character facets, so operator<< on text would fail.
// A surrogate pair split across two writes is joined; an unpaired surrogate
// becomes U+FFFD. Not synchronised: the log output that uses it serialises
// its writes.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace nork {

class CUtf8StreamBuf : public std::basic_streambuf<char16_t> {
  public:
    explicit CUtf8StreamBuf(std::ostream& target) : m_target(target) {}

  protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char16_t* s, std::streamsize n) override;
    int sync() override;

  private:
    void encode(char16_t unit, std::string& out);

    std::ostream& m_target;
    char16_t m_pendingHigh = 0;  // high surrogate waiting for its pair
};

class CUtf8WideStream : public std::basic_ostream<char16_t> {
  public:
    explicit CUtf8WideStream(std::ostream& target);

  private:
    CUtf8StreamBuf m_buffer;
};

}  // namespace nork
