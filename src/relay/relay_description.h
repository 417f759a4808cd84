#pragma once

// What the operator reads about a relay: its plan, where it is, and what it forwarded.

#include <string>

#include "relay/relay_outcome.h"
#include "relay/relay_plan.h"
#include "relay/relay_worker.h"

// "客户端到服务器端, TCP, 输入网卡 127.0.0.2:5555, 输出网卡 127.0.0.3:6666"
std::string DescribePlan(const RelayPlan& plan);

// Where the relay is and what it forwarded so far, as in
// "正在转发, 来自 127.0.0.9:40000, 已转发 1200 字节".
std::string DescribeStatus(const RelayStatus& status, RelayProtocol protocol);

// "共转发 14 字节, 3 个数据报", with the datagrams that were cut when there were any.
std::string DescribeTotals(const RelayOutcome& outcome, RelayProtocol protocol);
