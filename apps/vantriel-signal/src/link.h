// One WebSocket connection as the hub sees it: the server's sockets, another node's
// sockets served here, and the tests' fakes.
#ifndef VANTRIEL_SIGNAL_LINK_H_
#define VANTRIEL_SIGNAL_LINK_H_

#include <memory>
#include <string>

namespace vantriel::signal {

class Link {
 public:
  virtual ~Link() = default;
  // Queues one text frame. Frames queued before close() are still sent.
  virtual void send(std::string text) = 0;
  // Closes after the queued frames have gone. The server still calls Hub::closed.
  virtual void close() = 0;
  // The client's address as the limits count it.
  virtual const std::string& address() const = 0;
};
using LinkPtr = std::shared_ptr<Link>;

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_LINK_H_
