#include "quillpost/host/agent/agent.h"

#include <mutex>

namespace quillpost::agent {

namespace {

std::mutex& creator_mutex() {
  static std::mutex m;
  return m;
}

LoggerCreator& creator() {
  static LoggerCreator c = [](const std::string& name) { return logs::logger(name); };
  return c;
}

}  // namespace

Channel SimpleAgent::channel(const std::string& name) const {
  if (!context_.system_ref) throw NotAttached("channel('" + name + "') on an agent not attached");
  return context_.system_ref->channel(name, context_.agent_ref);
}

void SimpleAgent::post_self(std::string_view event, Payload payload, double delay) const {
  if (!context_.system_ref) {
    throw NotAttached("send_self('" + std::string(event) + "') on an agent not attached");
  }
  context_.system_ref->send_after(
      context_.agent_ref, Message{std::string(event), std::move(payload), context_.agent_ref},
      delay);
}

void replace_logger_creator(LoggerCreator factory) {
  std::lock_guard lock(creator_mutex());
  creator() = std::move(factory);
}

logs::Logger create_logger(const std::string& name) {
  std::lock_guard lock(creator_mutex());
  return creator()(name);
}

}  // namespace quillpost::agent
