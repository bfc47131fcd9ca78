// Messages between the nodes of a deployment, carried on one Redis channel per node. A
// message is one header line of words separated by blanks, then the payload as is:
//   o <from> <token> <j|c> <target> <address> <w|->
//                                                a socket of <from> is served here; "w":
//                                                a join from the server's page for browsers
//   m <from> <token>\n<frame>                    a frame that socket received
//   x <from> <token>                             that socket closed
//   s <from> <token>\n<frame>                    send this frame on your socket <token>
//   c <from> <token>                             close your socket <token> after its frames
//   r <from> <token> <id>                        your host socket <token> lost <id>
// Node names, tokens, IDs, codes and address keys hold no blanks or line feeds.
#ifndef VANTRIEL_SIGNAL_NODE_MESSAGE_H_
#define VANTRIEL_SIGNAL_NODE_MESSAGE_H_

#include <string>
#include <string_view>
#include <vector>

namespace vantriel::signal {

struct NodeMessage {
  char type = 0;
  std::string_view from;
  std::string_view token;
  std::vector<std::string_view> args;  // the words after the token
  std::string_view payload;
};

std::string make_node_message(char type, std::string_view from, std::string_view token,
                         std::initializer_list<std::string_view> args = {},
                         std::string_view payload = {});

// False when `text` is not such a message (a type of one letter, a sender and a token).
bool parse_node_message(std::string_view text, NodeMessage& out);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_NODE_MESSAGE_H_
