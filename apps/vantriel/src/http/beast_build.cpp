// Compiles Boost.Asio and Boost.Beast once for the whole program, so that their headers
// stay out of every other translation unit but the server's and the probe's.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
