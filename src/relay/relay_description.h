#pragma once

// What the operator reads about a relay: its plan, where it is, and what it forwarded.

#include <string>

#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// "客户端到服务器端" or "服务器端到客户端", as the dialog's mode buttons say.
std::string ModeName(RelayMode mode);

// "客户端到服务器端, TCP, 输入网卡 127.0.0.2:5555, 输出网卡 127.0.0.3:6666"
std::string DescribePlan(const RelayPlan& plan);

// Which side a relay of the plan listens on (TCP) or is bound on (UDP), which side it connects or
// sends to, and which way the data goes, in the dialog's names of the sides:
// "TCP: 在 输出网卡 监听, 连接 输入网卡; 数据 输入网卡 → 输出网卡".
std::string DescribeDirection(const RelayPlan& plan);

// Where the relay is and what it forwarded so far, as in
// "正在转发, 来自 127.0.0.9:40000, 已转发 1200 字节".
std::string DescribeStatus(const RelayStatus& status, RelayProtocol protocol);

// "共转发 14 字节, 3 个数据报", with the datagrams that were cut and the bytes the text rule left
// out when there were any.
std::string DescribeTotals(const RelayOutcome& outcome, RelayProtocol protocol);
