// Boost.Asio and Boost.Beast are compiled here once for the server, its tests and the
// load generator; every other file sees only their declarations.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
