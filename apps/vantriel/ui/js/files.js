// File transfer inside a session over the `file` channel, with the transfer list
// (#xfers). Built with the session work.

const FILE_MAX = 2000000000;
const FILE_CHUNK = 65536;
