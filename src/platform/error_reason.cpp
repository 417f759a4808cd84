#include "platform/error_reason.h"

#include <cerrno>
#include <cstring>

std::string ErrorReasonText(int error) {
    switch (error) {
    case EADDRINUSE:
        return "地址已被占用";
    case EADDRNOTAVAIL:
        return "不是本机地址";
    case EACCES:
    case EPERM:
        return "没有权限";
    case ECONNREFUSED:
        return "对方拒绝连接";
    case ENETUNREACH:
    case EHOSTUNREACH:
        return "无法到达";
    case ETIMEDOUT:
        return "连接超时";
    case EROFS:
        return "只读文件系统";
    case ENOSPC:
        return "磁盘空间不足";
    case EDQUOT:
        return "超出磁盘配额";
    case ENOENT:
        return "文件或目录不存在";
    case EISDIR:
        return "是一个目录";
    default: {
        char text[256] = {};
        // The GNU form returns the text, which need not be the buffer.
        return ::strerror_r(error, text, sizeof text);
    }
    }
}
