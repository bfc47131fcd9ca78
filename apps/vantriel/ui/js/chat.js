// Chat inside a session: lines on the control channel, shown in the chat panel (#chat).
// Built with the session work.

const CHAT_MAX = 2000;
