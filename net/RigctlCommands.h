#pragma once

// The rigctld session's command table: one handler per command, which runs it
// and leaves its status and values in a Call; Session::reply lays them out.
// Shaped after Hamlib's own parser (rigctl_parse.c), whose table gives each
// command its letter, long name, handler and argument flags.

#include "RigctlSession.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kalimor::rig {

// One command as the parser found it, and what running it gave.
struct Call {
    Call(Rig& r, RigState& s, Connection& c, std::vector<std::string_view> a)
        : rig(r), state(s), connection(c), args(std::move(a)) {}

    Rig& rig;
    RigState& state;
    Connection& connection;
    std::vector<std::string_view> args;

    int status = RigOk;
    std::vector<std::pair<std::string, std::string>> fields; // "Label: value" in extended form
    std::string text; // the body of \dump_state and \dump_caps, laid out by the command

    std::string_view arg(size_t i) const { return i < args.size() ? args[i] : std::string_view(); }
    void value(std::string label, std::string v) {
        fields.emplace_back(std::move(label), std::move(v));
    }
};

// How a reply is laid out beyond "values, or the status".
enum class Layout {
    Values, // plain: the values when it went well, else RPRT; extended: echo, fields, RPRT
    ValuesThenStatus, // as Values, but plain gives RPRT after the values too (get_lock_mode)
    Bare,             // its one value and no status, in either form (chk_vfo)
    Text,             // plain: the text alone; extended: echo, text, RPRT (dump_state)
    TextStatus,       // the text then RPRT in either form (dump_caps)
    Quit,             // RPRT 0, after which the server closes
};

// What a command takes, as Hamlib's ARG_ flags say it.
enum NameFlag : unsigned {
    TakesVfo = 1,   // in VFO mode a VFO name stands before the arguments
    RestOfLine = 2, // its one argument is the rest of the line, blanks and all
};

struct Name {
    char shortName; // 0: long form only
    std::string_view longName;
    void (*run)(Call&);
    int args; // what the command takes after its VFO, if it has one
    unsigned flags = 0;
    Layout layout = Layout::Values;
};

// The command a word names: one letter, a backslash and a long name, or
// gpredict's AOS and LOS; null for none.
const Name* lookup(std::string_view word);

// Hamlib's name for a VFO, as the client spelled it in any case; null for none.
const std::string_view* findVfo(std::string_view name);

} // namespace kalimor::rig
