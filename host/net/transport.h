#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veyra {

// The byte stream of one connection over its connected socket: plaintext, or
// TLS records. The connection's send thread is the only caller of Send and
// its receive thread the only caller of Receive; the two run at the same
// time.
class Transport {
 public:
  virtual ~Transport() = default;

  // Writes every byte of |data|. False when the stream failed or the write
  // was given up; |failure| then holds the text to report the loss with.
  virtual bool Send(const std::uint8_t* data, std::size_t length, std::string& failure) = 0;

  // Appends what arrives to |out|: the count appended (> 0); 0 when the peer
  // ended the stream; -1 on failure, with |failure| set to the text to report
  // the loss with.
  virtual long Receive(std::vector<std::uint8_t>& out, std::string& failure) = 0;
};

}  // namespace veyra
