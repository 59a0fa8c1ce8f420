#include "quillpost/host/runtime/web/page.h"

#include <string>

namespace quillpost::web {

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// A JSON value as the page shows it: texts bare, lists joined with ":" (an
// address and its port), null as a dash.
std::string shown(const nlohmann::json& value) {
  if (value.is_null()) return "\u2014";
  if (value.is_string()) return value.get<std::string>();
  if (value.is_array()) {
    std::string out;
    for (const auto& item : value) {
      if (!out.empty()) out += ":";
      out += shown(item);
    }
    return out;
  }
  return value.dump();
}

std::string details(const nlohmann::json& info) {
  std::string out;
  if (!info.is_object()) return out;
  for (const auto& [key, value] : info.items()) {
    if (!out.empty()) out += ", ";
    out += key + ": " + shown(value);
  }
  return out;
}

std::string log_items(const nlohmann::json& lines) {
  std::string out;
  for (const auto& line : lines) {
    out += "<li><time>" + html_escape(shown(line.value("time", nlohmann::json()))) + "</time> <b>" +
           html_escape(shown(line.value("event", nlohmann::json()))) + "</b> <span>" +
           html_escape(shown(line.value("message", nlohmann::json()))) + "</span></li>\n";
  }
  return out;
}

// "12.5 g, stable" or "fault: why".
std::string scale_text(const nlohmann::json& scale, bool enabled) {
  if (!enabled) return "not read (scales are disabled)";
  const nlohmann::json reading = scale.value("reading", nlohmann::json());
  if (!reading.is_object()) return "no reading yet";
  std::string text = shown(reading.value("status", nlohmann::json()));
  if (reading.value("grams", nlohmann::json()).is_string()) {
    text = shown(reading["grams"]) + " g, " + text +
           (reading.value("stable", false) ? "" : ", not stable");
  }
  const std::string reason = reading.value("reason", std::string());
  return reason.empty() ? text : text + ": " + reason;
}

std::string scale_items(const nlohmann::json& overview) {
  std::string out;
  const bool enabled = overview.value("enabled", false);
  for (const auto& s : overview.value("scales", nlohmann::json::array())) {
    out += "<li><b>" + html_escape(shown(s.value("name", nlohmann::json()))) + "</b> <i>" +
           html_escape(shown(s.value("kind", nlohmann::json()))) + "</i> <span>" +
           html_escape(scale_text(s, enabled)) + "</span></li>\n";
  }
  return out;
}

std::string printer_items(const nlohmann::json& printers) {
  std::string out;
  for (const auto& p : printers) {
    std::string state = shown(p.value("state", nlohmann::json()));
    std::string reasons;
    for (const auto& r : p.value("reasons", nlohmann::json::array())) {
      reasons += (reasons.empty() ? "" : ", ") + shown(r);
    }
    if (!reasons.empty()) state += " (" + reasons + ")";
    if (!p.value("accepting", true)) state += ", not accepting jobs";
    out += "<li><b>" + html_escape(shown(p.value("name", nlohmann::json()))) + "</b>" +
           (p.value("default", false) ? " <i>default</i>" : "") + " <span>" + html_escape(state) +
           "</span> <small>" + html_escape(shown(p.value("description", nlohmann::json()))) +
           "</small></li>\n";
  }
  return out;
}

std::string job_items(const nlohmann::json& jobs) {
  std::string out;
  for (const auto& j : jobs) {
    std::string reason = shown(j.value("reason", nlohmann::json("")));
    out += "<li><time>" + html_escape(shown(j.value("updated", nlohmann::json()))) + "</time> <b>" +
           html_escape(shown(j.value("state", nlohmann::json()))) + "</b> <span>" +
           html_escape(shown(j.value("title", nlohmann::json()))) + " on " +
           html_escape(shown(j.value("printer", nlohmann::json()))) + "</span> <small>" +
           html_escape(shown(j.value("job_id", nlohmann::json()))) +
           (reason.empty() ? "" : ": " + html_escape(reason)) + "</small></li>\n";
  }
  return out;
}

// The script keeps the page current. It writes only through textContent, so
// nothing the client reports can become markup.
constexpr std::string_view script = R"JS(
(function () {
  'use strict';
  var $ = function (id) { return document.getElementById(id); };
  function shown(v) {
    if (v === null || v === undefined) return '\u2014';
    if (Array.isArray(v)) return v.map(shown).join(':');
    return String(v);
  }
  function details(info) {
    return Object.keys(info || {}).map(function (k) { return k + ': ' + shown(info[k]); }).join(', ');
  }
  function render(s) {
    var st = $('status');
    st.textContent = s.connection.label;
    st.className = 'badge status-' + s.connection.status;
    $('details').textContent = details(s.connection.info);
    $('account-id').textContent = shown(s.account_id);
    $('computer-name').textContent = shown(s.computer.name);
    $('computer-id').textContent = shown(s.computer.id);
    $('uptime').textContent = s.uptime;
    var host = s.host || {};
    $('clock').textContent = shown(host.clock);
    $('last-crash').textContent = host.last_crash || 'None recorded';
    var list = $('log');
    while (list.firstChild) list.removeChild(list.firstChild);
    s.gui_log.forEach(function (line) {
      var li = document.createElement('li');
      var t = document.createElement('time'); t.textContent = line.time;
      var b = document.createElement('b'); b.textContent = line.event;
      var m = document.createElement('span'); m.textContent = line.message;
      li.appendChild(t); li.appendChild(document.createTextNode(' '));
      li.appendChild(b); li.appendChild(document.createTextNode(' '));
      li.appendChild(m);
      list.appendChild(li);
    });
    $('empty-log').hidden = s.gui_log.length > 0;
    var pr = s.printing || {system: '', printers: [], jobs: []};
    $('print-system').textContent = pr.system;
    fill($('printers'), pr.printers, function (p) {
      var state = p.state + (p.reasons.length ? ' (' + p.reasons.join(', ') + ')' : '') +
                  (p.accepting ? '' : ', not accepting jobs');
      return [['b', p.name], ['i', p['default'] ? 'default' : ''], ['span', state],
              ['small', p.description]];
    });
    $('empty-printers').hidden = pr.printers.length > 0;
    fill($('jobs'), pr.jobs, function (j) {
      return [['time', j.updated], ['b', j.state], ['span', j.title + ' on ' + j.printer],
              ['small', j.job_id + (j.reason ? ': ' + j.reason : '')]];
    });
    $('empty-jobs').hidden = pr.jobs.length > 0;
    var sc = s.scales || {enabled: false, scales: []};
    fill($('scales'), sc.scales, function (x) {
      var r = x.reading, text = 'no reading yet';
      if (!sc.enabled) text = 'not read (scales are disabled)';
      else if (r) text = (r.grams !== null ? r.grams + ' g, ' + r.status + (r.stable ? '' : ', not stable')
                                            : r.status) + (r.reason ? ': ' + r.reason : '');
      return [['b', x.name], ['i', x.kind], ['span', text]];
    });
    $('empty-scales').hidden = sc.scales.length > 0;
  }
  function fill(list, items, parts) {
    while (list.firstChild) list.removeChild(list.firstChild);
    items.forEach(function (item) {
      var li = document.createElement('li');
      parts(item).forEach(function (part, i) {
        if (!part[1]) return;
        if (i) li.appendChild(document.createTextNode(' '));
        var e = document.createElement(part[0]); e.textContent = part[1];
        li.appendChild(e);
      });
      list.appendChild(li);
    });
  }
  function refresh() {
    fetch('/status', {cache: 'no-store'})
      .then(function (r) { if (!r.ok) throw new Error('HTTP ' + r.status); return r.json(); })
      .then(function (s) {
        render(s);
        $('offline').hidden = true;
        $('updated').textContent = 'Updated ' + new Date().toLocaleTimeString();
      })
      .catch(function () { $('offline').hidden = false; });
  }
  var button = $('shutdown');
  if (button) {
    button.addEventListener('click', function () {
      if (!window.confirm('Shut the client down?')) return;
      fetch('/shutdown', {method: 'POST'}).then(function (r) {
        $('updated').textContent = r.ok ? 'Shutting down' : 'Shutdown refused (HTTP ' + r.status + ')';
      });
    });
  }
  refresh();
  setInterval(refresh, 1000);
})();
)JS";

constexpr std::string_view style = R"CSS(
:root { color-scheme: light; font-family: system-ui, sans-serif; }
body { margin: 0; background: #f2f4f7; color: #1d2430; }
main { max-width: 760px; margin: 24px auto; padding: 0 16px; }
h1 { font-size: 20px; margin: 0 0 16px; }
section { background: #fff; border-radius: 8px; padding: 16px 20px; margin-bottom: 16px;
          box-shadow: 0 1px 2px rgba(0,0,0,.08); }
.badge { display: inline-block; padding: 4px 12px; border-radius: 999px; font-weight: 600;
         background: #d0d5dd; }
.status-handshaked { background: #c9f2d4; color: #0b5b24; }
.status-connected, .status-connecting, .status-service_discovery { background: #fde9b8; color: #6b4a00; }
.status-disconnected { background: #fbd2d0; color: #8a1c14; }
#details { color: #5a6475; margin-left: 8px; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 6px 16px; margin: 16px 0 0; }
dt { color: #5a6475; }
dd { margin: 0; font-variant-numeric: tabular-nums; word-break: break-all; }
h2 { font-size: 15px; margin: 0 0 8px; }
ol { list-style: none; margin: 0; padding: 0; font: 13px/1.5 ui-monospace, monospace; }
li { border-top: 1px solid #eef0f3; padding: 2px 0; word-break: break-word; }
li time { color: #8a93a3; }
footer { color: #8a93a3; font-size: 12px; display: flex; gap: 12px; align-items: center; }
#offline { color: #8a1c14; font-weight: 600; }
button { margin-left: auto; }
)CSS";

}  // namespace

std::string render_status_page(const nlohmann::json& status) {
  const auto& connection = status.at("connection");
  const std::string status_name = shown(connection.at("status"));
  std::string page;
  page.reserve(8 * 1024);
  page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  page += "<title>Quillpost client status</title>\n<style>";
  page += style;
  page += "</style>\n</head>\n<body>\n<main>\n<h1>Quillpost client</h1>\n<section>\n";
  page += "<span id=\"status\" class=\"badge status-" + html_escape(status_name) + "\">" +
          html_escape(shown(connection.at("label"))) + "</span>";
  page += "<span id=\"details\">" + html_escape(details(connection.at("info"))) + "</span>\n";
  page += "<dl>\n";
  page += "<dt>Account id</dt><dd id=\"account-id\">" +
          html_escape(shown(status.at("account_id"))) + "</dd>\n";
  page += "<dt>Computer name</dt><dd id=\"computer-name\">" +
          html_escape(shown(status.at("computer").at("name"))) + "</dd>\n";
  page += "<dt>Computer id</dt><dd id=\"computer-id\">" +
          html_escape(shown(status.at("computer").at("id"))) + "</dd>\n";
  page += "<dt>Uptime</dt><dd id=\"uptime\">" + html_escape(shown(status.at("uptime"))) + "</dd>\n";
  const nlohmann::json host = status.value("host", nlohmann::json::object());
  page += "<dt>Clock</dt><dd id=\"clock\">" +
          html_escape(shown(host.value("clock", nlohmann::json()))) + "</dd>\n";
  page +=
      "<dt>Last crash</dt><dd id=\"last-crash\">" +
      html_escape(host.contains("last_crash") ? shown(host.at("last_crash")) : "None recorded") +
      "</dd>\n";
  page += "</dl>\n</section>\n<section>\n<h2>Recent events</h2>\n<ol id=\"log\">\n";
  page += log_items(status.at("gui_log"));
  page += "</ol>\n<p id=\"empty-log\"";
  if (!status.at("gui_log").empty()) page += " hidden";
  page += ">No events yet.</p>\n</section>\n";
  const nlohmann::json printing =
      status.value("printing", nlohmann::json{{"system", ""},
                                              {"printers", nlohmann::json::array()},
                                              {"jobs", nlohmann::json::array()}});
  page += "<section>\n<h2>Printers</h2>\n<p id=\"print-system\">" +
          html_escape(shown(printing.at("system"))) + "</p>\n<ol id=\"printers\">\n";
  page += printer_items(printing.at("printers"));
  page += "</ol>\n<p id=\"empty-printers\"";
  if (!printing.at("printers").empty()) page += " hidden";
  page += ">No printers.</p>\n</section>\n<section>\n<h2>Print jobs</h2>\n<ol id=\"jobs\">\n";
  page += job_items(printing.at("jobs"));
  page += "</ol>\n<p id=\"empty-jobs\"";
  if (!printing.at("jobs").empty()) page += " hidden";
  page += ">No print jobs yet.</p>\n</section>\n";
  const nlohmann::json scales = status.value(
      "scales", nlohmann::json{{"enabled", false}, {"scales", nlohmann::json::array()}});
  page += "<section>\n<h2>Scales</h2>\n<ol id=\"scales\">\n" + scale_items(scales) +
          "</ol>\n<p id=\"empty-scales\"";
  if (!scales.value("scales", nlohmann::json::array()).empty()) page += " hidden";
  page += ">No scales.</p>\n</section>\n<footer>\n";
  page += "<span>Version " + html_escape(shown(status.at("version"))) + "</span>\n";
  page += "<span id=\"updated\">Not refreshed yet</span>\n";
  page += "<span id=\"offline\" hidden>The client does not answer.</span>\n";
  if (status.value("shutdown_allowed", false)) {
    page += "<button id=\"shutdown\" type=\"button\">Shut down</button>\n";
  }
  page += "</footer>\n</main>\n<script>";
  page += script;
  page += "</script>\n</body>\n</html>\n";
  return page;
}

}  // namespace quillpost::web
