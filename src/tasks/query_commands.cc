#include "tasks/query_commands.h"

#include <cassert>
#include <utility>

#include "tasks/request_building.h"

namespace qv {

QueryCommands::QueryCommands(CommandContext context) : context_(std::move(context)) {
  assert(context_.login != nullptr && context_.requestCounter != nullptr);
  table_.reserve(kQueryCommandCount);
  for (size_t i = 0; i < kQueryCommandCount; ++i) {
    table_.emplace(kQueryCommandEntries[i].taskId, kQueryCommandEntries[i].operation);
  }
}

int64_t QueryCommands::run(Task& task) {
  auto entry = table_.find(task.taskId);
  if (entry == table_.end()) {
    copyField(task.userId, context_.login->UserID);
    return kInvalidTaskId;
  }
  return entry->second(context_, task);
}

bool QueryCommands::has(int32_t taskId) const { return table_.count(taskId) != 0; }

size_t QueryCommands::size() const { return table_.size(); }

}  // namespace qv
