// The service's log vocabulary. Messages are written as code page 936 (GBK)
// bytes; they are spelled as escapes so that no editor or locale can change
// them. The comment above each gives the text.
#ifndef PELMORA_CONFIG_LOG_MESSAGES_H_
#define PELMORA_CONFIG_LOG_MESSAGES_H_

namespace pelmora::messages {

// socket 服务开始启动
inline constexpr char kServiceStarting[] =
    "socket \xB7\xFE\xCE\xF1\xBF\xAA\xCA\xBC\xC6\xF4\xB6\xAF";
// 最后一个测点的标示为 %s : %s   (point name, value, as HostTextForLog
// shows them)
inline constexpr char kLastPointFormat[] =
    "\xD7\xEE\xBA\xF3\xD2\xBB\xB8\xF6\xB2\xE2\xB5\xE3\xB5\xC4\xB1\xEA\xCA\xBE"
    "\xCE\xAA %s : %s";
// 启动服务……
inline constexpr char kStartingLink[] =
    "\xC6\xF4\xB6\xAF\xB7\xFE\xCE\xF1\xA1\xAD\xA1\xAD";
// 创建UDP SOCKET失败
inline constexpr char kSocketCreateFailed[] =
    "\xB4\xB4\xBD\xA8UDP SOCKET\xCA\xA7\xB0\xDC";
// 连接UDP服务器失败！
inline constexpr char kConnectFailed[] =
    "\xC1\xAC\xBD\xD3UDP\xB7\xFE\xCE\xF1\xC6\xF7\xCA\xA7\xB0\xDC\xA3\xA1";
// 创建数据发送线程失败！
inline constexpr char kSendThreadCreateFailed[] =
    "\xB4\xB4\xBD\xA8\xCA\xFD\xBE\xDD\xB7\xA2\xCB\xCD\xCF\xDF\xB3\xCC\xCA\xA7"
    "\xB0\xDC\xA3\xA1";
// 管理线程启动！
inline constexpr char kManagementStarted[] =
    "\xB9\xDC\xC0\xED\xCF\xDF\xB3\xCC\xC6\xF4\xB6\xAF\xA3\xA1";
// 管理线程退出！
inline constexpr char kManagementExited[] =
    "\xB9\xDC\xC0\xED\xCF\xDF\xB3\xCC\xCD\xCB\xB3\xF6\xA3\xA1";
// 发送线程启动！
inline constexpr char kSendStarted[] =
    "\xB7\xA2\xCB\xCD\xCF\xDF\xB3\xCC\xC6\xF4\xB6\xAF\xA3\xA1";
// 发送线程退出！
inline constexpr char kSendExited[] =
    "\xB7\xA2\xCB\xCD\xCF\xDF\xB3\xCC\xCD\xCB\xB3\xF6\xA3\xA1";
// 配置线程启动！
inline constexpr char kConfigStarted[] =
    "\xC5\xE4\xD6\xC3\xCF\xDF\xB3\xCC\xC6\xF4\xB6\xAF\xA3\xA1";
// 配置线程退出！
inline constexpr char kConfigExited[] =
    "\xC5\xE4\xD6\xC3\xCF\xDF\xB3\xCC\xCD\xCB\xB3\xF6\xA3\xA1";
// 停止服务……
inline constexpr char kStoppingLink[] =
    "\xCD\xA3\xD6\xB9\xB7\xFE\xCE\xF1\xA1\xAD\xA1\xAD";
// 服务停止!
inline constexpr char kServiceStopped[] = "\xB7\xFE\xCE\xF1\xCD\xA3\xD6\xB9!";
// 记录长度%u超过989字节，已丢弃：%s   (record length, at most its first 64
// bytes as HostTextForLog shows them)
// A record that no datagram can carry is dropped whole rather than cut, so
// the server never receives a wrong value.
inline constexpr char kRecordTooLongFormat[] =
    "\xBC\xC7\xC2\xBC\xB3\xA4\xB6\xC8%u\xB3\xAC\xB9\xFD"
    "989\xD7\xD6\xBD\xDA\xA3\xAC\xD2\xD1\xB6\xAA\xC6\xFA\xA3\xBA%s";

// 系统错误码：%d   (the operating system's code)
// Follows the line of a failure the OS gave a reason for.
inline constexpr char kOsErrorCodeFormat[] =
    "\xCF\xB5\xCD\xB3\xB4\xED\xCE\xF3\xC2\xEB\xA3\xBA%d";
// 接口%s内部异常，已返回固定值   (export name)
// An export met an unexpected failure; the host got the fixed result.
inline constexpr char kExportFailedFormat[] =
    "\xBD\xD3\xBF\xDA%s\xC4\xDA\xB2\xBF\xD2\xEC\xB3\xA3\xA3\xAC\xD2\xD1"
    "\xB7\xB5\xBB\xD8\xB9\xCC\xB6\xA8\xD6\xB5";

// 配置文件%s无法读取，按缺省值处理   (the file's path)
// The file exists but cannot be read (a directory, no permission): every
// key in it takes its default, as with a missing file.
inline constexpr char kProfileUnreadableFormat[] =
    "\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE%s\xCE\xDE\xB7\xA8\xB6\xC1\xC8\xA1"
    "\xA3\xAC\xB0\xB4\xC8\xB1\xCA\xA1\xD6\xB5\xB4\xA6\xC0\xED";
// 待发事件过多，本周期丢弃%u条   (events refused)
// A bank holds at most kMaxPendingEvents events and kMaxPendingEventBytes
// bytes of them; what came beyond either in one bank period was refused.
inline constexpr char kEventsRefusedFormat[] =
    "\xB4\xFD\xB7\xA2\xCA\xC2\xBC\xFE\xB9\xFD\xB6\xE0\xA3\xAC\xB1\xBE\xD6\xDC"
    "\xC6\xDA\xB6\xAA\xC6\xFA%u\xCC\xF5";
// 发送队列已满，本周期丢弃最早的%u个数据包   (datagrams dropped)
// The send queue holds at most kMaxQueuedDatagrams; to make room for new
// ones, this many of the oldest were dropped unsent in one cycle.
inline constexpr char kQueueFullFormat[] =
    "\xB7\xA2\xCB\xCD\xB6\xD3\xC1\xD0\xD2\xD1\xC2\xFA\xA3\xAC\xB1\xBE\xD6\xDC"
    "\xC6\xDA\xB6\xAA\xC6\xFA\xD7\xEE\xD4\xE7\xB5\xC4%u\xB8\xF6\xCA\xFD\xBE\xDD"
    "\xB0\xFC";
// 发送失败，本周期丢弃%u个数据包   (datagrams)
// The send thread could not send this many datagrams since the previous
// cycle: the socket refused them outright, or was still full or refusing
// when their send limit (kSendTimeoutMs) ran out. They are lost.
inline constexpr char kSendFailedFormat[] =
    "\xB7\xA2\xCB\xCD\xCA\xA7\xB0\xDC\xA3\xAC\xB1\xBE\xD6\xDC\xC6\xDA\xB6\xAA"
    "\xC6\xFA"
    "%u\xB8\xF6\xCA\xFD\xBE\xDD\xB0\xFC";
// 停止时未能发出%u条记录，已丢弃   (item and event records)
// The stop sends what is pending for at most a second; what the link could
// not take in that time, or refused, is dropped.
inline constexpr char kStopDroppedFormat[] =
    "\xCD\xA3\xD6\xB9\xCA\xB1\xCE\xB4\xC4\xDC\xB7\xA2\xB3\xF6%u\xCC\xF5\xBC\xC7"
    "\xC2\xBC\xA3\xAC\xD2\xD1\xB6\xAA\xC6\xFA";
// 服务端口为0，无法发送数据
// Written as the link starts towards port 0, where no datagram can go.
inline constexpr char kPortUnusable[] =
    "\xB7\xFE\xCE\xF1\xB6\xCB\xBF\xDA\xCE\xAA"
    "0\xA3\xAC\xCE\xDE\xB7\xA8\xB7\xA2\xCB\xCD\xCA\xFD\xBE\xDD";

// 命令密钥格式错误，远程命令未启用
// The [COMMAND] KEY of Pelmora.ini is not 64 hexadecimal digits: commands
// stay off, as without a key.
inline constexpr char kCommandKeyMalformed[] =
    "\xC3\xFC\xC1\xEE\xC3\xDC\xD4\xBF\xB8\xF1\xCA\xBD\xB4\xED\xCE\xF3\xA3\xAC"
    "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE\xCE\xB4\xC6\xF4\xD3\xC3";

// 远程命令已启用
// Written as a link starts with a command key: it answers signed commands.
inline constexpr char kCommandsEnabled[] =
    "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE\xD2\xD1\xC6\xF4\xD3\xC3";

// 无法生成会话随机数，远程命令未启用
// The system's random source failed as the link started: this link takes
// no commands.
inline constexpr char kCommandRandomFailed[] =
    "\xCE\xDE\xB7\xA8\xC9\xFA\xB3\xC9\xBB\xE1\xBB\xB0\xCB\xE6\xBB\xFA\xCA\xFD"
    "\xA3\xAC\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE\xCE\xB4\xC6\xF4\xD3\xC3";

// 远程命令%u：写入 %s : %s 已排队   (sequence, point name, value, as
// HostTextForLog shows them)
inline constexpr char kCommandWriteQueuedFormat[] =
    "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE%u\xA3\xBA\xD0\xB4\xC8\xEB %s : %s "
    "\xD2\xD1\xC5\xC5\xB6\xD3";

// 远程命令%u：重发全部测点   (sequence)
inline constexpr char kCommandSnapshotFormat[] =
    "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE"
    "%u\xA3\xBA\xD6\xD8\xB7\xA2\xC8\xAB\xB2\xBF\xB2\xE2\xB5\xE3";

// 远程命令%u：此前的远程命令作废   (sequence)
// A fence: every command of a lower sequence in this session is old now.
inline constexpr char kCommandFenceFormat[] =
    "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE"
    "%u\xA3\xBA\xB4\xCB\xC7\xB0\xB5\xC4\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE"
    "\xD7\xF7\xB7\xCF";

// 远程命令%u被拒绝，原因%u：%s   (sequence, reason code of the reply, the
// write's name as HostTextForLog shows it, or nothing)
// At most kMaxCommandLinesPerMinute a minute; the rest are summed up.
inline constexpr char kCommandRefusedFormat[] =
    "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE"
    "%u\xB1\xBB\xBE\xDC\xBE\xF8\xA3\xAC\xD4\xAD\xD2\xF2%u\xA3\xBA%s";

// 远程命令记录过多，略去%u行   (lines)
// Refusal lines beyond the minute's allowance, summed up once the minute is
// over and as the session ends.
inline constexpr char kCommandLinesSkippedFormat[] =
    "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE\xBC\xC7\xC2\xBC\xB9\xFD\xB6\xE0\xA3\xAC"
    "\xC2\xD4\xC8\xA5%u\xD0\xD0";

// 收到%u个未通过验证的命令数据包，已丢弃   (datagrams)
// Datagrams that arrived on the link but are not commands signed for this
// station, since the previous such line; at most one line a minute.
inline constexpr char kCommandsRejectedFormat[] =
    "\xCA\xD5\xB5\xBD"
    "%u\xB8\xF6\xCE\xB4\xCD\xA8\xB9\xFD\xD1\xE9\xD6\xA4\xB5\xC4\xC3\xFC\xC1\xEE"
    "\xCA\xFD\xBE\xDD\xB0\xFC\xA3\xAC\xD2\xD1\xB6\xAA\xC6\xFA";

// 接收命令数据包失败%u次，已跳过   (receives)
// Receives on a keyed link that failed for another reason than an empty
// socket (a refusal reported by some host, forged or not), since the
// previous such line; each was skipped and the next datagram read. At most
// one line a minute, and one as the link stops.
inline constexpr char kCommandReceiveFailedFormat[] =
    "\xBD\xD3\xCA\xD5\xC3\xFC\xC1\xEE\xCA\xFD\xBE\xDD\xB0\xFC\xCA\xA7\xB0\xDC"
    "%u\xB4\xCE\xA3\xAC\xD2\xD1\xCC\xF8\xB9\xFD";

}  // namespace pelmora::messages

#endif  // PELMORA_CONFIG_LOG_MESSAGES_H_
