#include "QetFiles.h"

#include <cstdlib>

namespace zorv_detail {

std::string qetInstanceText(long pid, const std::string& socket) {
    std::string text = std::to_string(pid) + "\n";
    if (!socket.empty()) {
        text += socket + "\n";
    }
    return text;
}

QetInstanceNote readQetInstanceText(const std::string& text) {
    QetInstanceNote note;
    const std::string::size_type pidEnd = text.find('\n');
    if (pidEnd == std::string::npos) {
        return note;
    }
    note.pid = std::atol(text.c_str());
    const std::string::size_type socketEnd = text.find('\n', pidEnd + 1);
    if (socketEnd != std::string::npos) {
        note.socket = text.substr(pidEnd + 1, socketEnd - pidEnd - 1);
    }
    return note;
}

} // namespace zorv_detail
