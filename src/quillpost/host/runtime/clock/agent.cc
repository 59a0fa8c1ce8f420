#include "quillpost/host/runtime/clock/agent.h"

#include <sys/timex.h>

#include <cmath>
#include <thread>
#include <utility>

#include "quillpost/host/process/threads.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"

namespace quillpost::clock {

namespace {

std::string whose(const comms::ClockSample& sample) {
  return sample.source == "service" ? "the service's" : "the time server's";
}

}  // namespace

ClockCheckAgent::ClockCheckAgent(ClockCheckSettings settings)
    : settings_(std::move(settings)), logger_(agent::create_logger("clock")) {}

ClockCheckAgent::~ClockCheckAgent() {
  comms::set_clock_listener({});
}

void ClockCheckAgent::before() {
  const agent::Mailbox mailbox =
      context().system_ref->get_mailbox(context().agent_ref, "clock samples");
  comms::set_clock_listener(
      [mailbox](const comms::ClockSample& sample) { mailbox.send(SAMPLE, sample); });

  // The kernel's view: read only (no mode bits set).
  struct timex tx {};
  const int state = adjtimex(&tx);
  if (state == -1) {
    logger_.info("The kernel's clock state cannot be read");
  } else {
    status_.synchronised = state != TIME_ERROR;
    status_.estimated_error = static_cast<double>(tx.esterror) / 1e6;
    if (status_.synchronised) {
      logger_.info("The system clock is synchronised (estimated error %s ms)",
                   std::to_string(tx.esterror / 1000));
    } else {
      logger_.info("The system clock is not synchronised to a time source");
    }
  }
  if (!settings_.servers.empty()) send_self(ASK_SERVERS);
  publish();
}

void ClockCheckAgent::receive(const std::string& event, const agent::Payload& payload) {
  if (event == SAMPLE) {
    take(agent::payload_as<comms::ClockSample>(payload));
  } else if (event == ASK_SERVERS) {
    ask_servers();
    send_self(ASK_SERVERS, std::chrono::duration<double>(settings_.sntp_interval).count());
  } else if (event == SERVER_FAILED) {
    logger_.info("No time from %s", agent::payload_as<std::string>(payload));
  }
}

void ClockCheckAgent::ask_servers() {
  // One short-lived thread per round: the first server that answers well
  // gives the sample; the rest are asked only when one fails.
  const agent::Mailbox mailbox =
      context().system_ref->get_mailbox(context().agent_ref, "time servers");
  start_thread([servers = settings_.servers, timeout = settings_.sntp_timeout, mailbox] {
    for (const auto& server : servers) {
      try {
        const SntpResult result = query_sntp(server, timeout);
        comms::note_clock_sample({result.offset, "sntp " + server.to_text()});
        return;
      } catch (const std::exception& e) {
        mailbox.send(SERVER_FAILED, server.to_text() + ": " + e.what());
      }
    }
  }).detach();
}

void ClockCheckAgent::take(const comms::ClockSample& sample) {
  const double size = std::fabs(sample.offset);
  const bool was_off = status_.off;
  status_.last = sample;
  if (!was_off && size > comms::CLOCK_OFFSET_LIMIT_SECONDS) {
    status_.off = true;
    status_.text = "The computer's clock is " + comms::clock_offset_text(sample.offset) +
                   (sample.offset > 0 ? " behind " : " ahead of ") + whose(sample) + ".";
    logger_.warning(
        "%s Certificates may be refused and times shown wrong; set the clock right "
        "(seen by %s)",
        status_.text, sample.source);
    channel(std::string(core::CoreAgent::name))
        .send(core::LOG_TO_GUI, GuiLog{GuiLogEvent::CLOCK_OFFSET, status_.text});
  } else if (was_off && size <= comms::CLOCK_OFFSET_LIMIT_SECONDS / 2) {
    status_.off = false;
    status_.text.clear();
    logger_.info("The computer's clock is within %s s of %s again",
                 std::to_string(static_cast<int>(std::lround(size))), whose(sample));
  } else if (was_off) {
    // Still off: keep the text current without warning again.
    status_.text = "The computer's clock is " + comms::clock_offset_text(sample.offset) +
                   (sample.offset > 0 ? " behind " : " ahead of ") + whose(sample) + ".";
  }
  publish();
}

void ClockCheckAgent::publish() {
  channel(std::string(agent::PubSubAgent::name))
      .send(agent::PubSubAgent::PUBLISH, agent::publication(CLOCK_STATUS, status_));
}

}  // namespace quillpost::clock

namespace quillpost::clock {

std::string status_line(const ClockStatus& status) {
  if (status.off) return status.text;
  std::string line = status.synchronised ? "Synchronised" : "Not synchronised to a time source";
  if (status.synchronised && status.estimated_error) {
    line += " (estimated error " +
            std::to_string(static_cast<long>(*status.estimated_error * 1000)) + " ms)";
  }
  if (status.last) {
    line += "; within " + std::to_string(static_cast<long>(std::fabs(status.last->offset))) +
            " s of " + (status.last->source == "service" ? "the service" : "the time server");
  }
  return line;
}

}  // namespace quillpost::clock
