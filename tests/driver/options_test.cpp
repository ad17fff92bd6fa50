// The compiler form's option parser: each option, combinations, and usage errors, as rows.
#include "driver/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parsed {
    options_outcome outcome;
    std::string text; // the record rendered, or the usage message
};

std::string render(const driver_options &o) {
    std::string s = "in=";
    for (const std::string &i : o.inputs) {
        s += i + ",";
    }
    s += " o=" + o.output_dir + " b=" + o.base_dir + " D=";
    for (const macro_option &m : o.macros) {
        s += m.define ? m.name + "=" + m.value + "," : "-" + m.name + ",";
    }
    s += " I=";
    for (const std::string &i : o.include_dirs) {
        s += i + ",";
    }
    s += " E=" + std::to_string(o.preprocess_only) + " j=" + std::to_string(o.jobs) +
         " q=" + std::to_string(o.quiet) + " W=" + std::to_string(o.warnings_are_errors) +
         " p=" + std::to_string(o.permissive) + " c=" +
         (o.colour == colour_mode::always  ? "always"
          : o.colour == colour_mode::never ? "never"
                                           : "auto") +
         " M=" + std::to_string(o.dependencies) + ":" + o.dependency_file +
         (o.from_xml ? " from-xml" : "") + (o.phony_targets ? " MP" : "") +
         (o.check_only ? " check" : "") + (o.list_only ? " list" : "") +
         (o.stdin_name.empty() ? "" : " stdin=" + o.stdin_name) +
         (o.include_refs == include_refs_mode::document ? " refs=document" : "");
    if (!o.silenced_warnings.empty()) {
        s += " Wno=";
        for (const std::string &w : o.silenced_warnings) {
            s += w + ",";
        }
    }
    return s;
}

parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "vandrel");
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    driver_options opts;
    std::string message;
    const options_outcome outcome =
        options_parse(static_cast<int>(words.size()), argv.data(), opts, message);
    return {outcome, outcome == options_outcome::run ? render(opts) : message};
}

const std::string defaults_tail = " E=0 j=0 q=0 W=0 p=0 c=auto M=0:";

} // namespace

TEST(Options, EachOptionLandsInTheRecord) {
    struct row {
        std::vector<std::string> args;
        std::string want;
    };
    const row rows[] = {
        {{"-q", "a.idl"}, "in=a.idl, o=. b= D= I= E=0 j=0 q=1 W=0 p=0 c=auto M=0:"},
        {{"a.idl", "-o", "out"}, "in=a.idl, o=out b= D= I=" + defaults_tail},
        {{"--output=out", "a.idl"}, "in=a.idl, o=out b= D= I=" + defaults_tail},
        {{"-oout", "a.idl"}, "in=a.idl, o=out b= D= I=" + defaults_tail},
        {{"-o", "-", "a.idl"}, "in=a.idl, o=- b= D= I=" + defaults_tail},
        {{"-b", "src", "src"}, "in=src, o=. b=src D= I=" + defaults_tail},
        {{"--base", "src", "src"}, "in=src, o=. b=src D= I=" + defaults_tail},
        {{"-DX=1", "-D", "Y=two", "-DZ", "-DE=", "a"},
         "in=a, o=. b= D=X=1,Y=two,Z=1,E=, I=" + defaults_tail},
        {{"-DX", "-UX", "-U", "Y", "a"}, "in=a, o=. b= D=X=1,-X,-Y, I=" + defaults_tail},
        {{"-I", "inc", "-Iinc2", "a"}, "in=a, o=. b= D= I=inc,inc2," + defaults_tail},
        {{"-E", "a"}, "in=a, o=. b= D= I= E=1 j=0 q=0 W=0 p=0 c=auto M=0:"},
        {{"-j", "3", "a"}, "in=a, o=. b= D= I= E=0 j=3 q=0 W=0 p=0 c=auto M=0:"},
        {{"--jobs=12", "a"}, "in=a, o=. b= D= I= E=0 j=12 q=0 W=0 p=0 c=auto M=0:"},
        {{"--quiet", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=1 W=0 p=0 c=auto M=0:"},
        {{"-Werror", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=1 p=0 c=auto M=0:"},
        {{"--permissive", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=0 p=1 c=auto M=0:"},
        {{"--color", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=0 p=0 c=always M=0:"},
        {{"--color=never", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=0 p=0 c=never M=0:"},
        {{"--color=auto", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=0 p=0 c=auto M=0:"},
        {{"-MD", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=0 p=0 c=auto M=1:"},
        {{"-MF", "a.d", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=0 p=0 c=auto M=1:a.d"},
        {{"-MFa.d", "a"}, "in=a, o=. b= D= I= E=0 j=0 q=0 W=0 p=0 c=auto M=1:a.d"},
        {{"--from-xml", "-Ixml", "-b", "x", "x"},
         "in=x, o=. b=x D= I=xml," + defaults_tail + " from-xml"},
        {{"-MD", "-MP", "--check", "-Wno-name-case", "-Wno-undeclared", "-", "--stdin-name=s.xml"},
         "in=-, o=. b= D= I= E=0 j=0 q=0 W=0 p=0 c=auto M=1: MP check stdin=s.xml "
         "Wno=name-case,undeclared,"},
        {{"--list", "--include-refs=document", "a"},
         "in=a, o=. b= D= I=" + defaults_tail + " list refs=document"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args.front());
        const parsed p = parse(r.args);
        EXPECT_EQ(options_outcome::run, p.outcome) << p.text;
        EXPECT_EQ(r.want, p.text);
    }
}

TEST(Options, CombinationsAndOrder) {
    struct row {
        std::vector<std::string> args;
        std::string want;
    };
    const row rows[] = {
        // Inputs and options mix freely; inputs keep their order.
        {{"b.idl", "-q", "a.idl", "-j2", "-o", "x", "dir"},
         "in=b.idl,a.idl,dir, o=x b= D= I= E=0 j=2 q=1 W=0 p=0 c=auto M=0:"},
        // `--` ends the options: what follows is an input even when it begins with '-'.
        {{"-q", "--", "-odd.idl", "-MD"},
         "in=-odd.idl,-MD, o=. b= D= I= E=0 j=0 q=1 W=0 p=0 c=auto M=0:"},
        // The value of an option is taken as it is, even when it looks like an option.
        {{"-o", "-MD", "-I", "-Werror", "a"}, "in=a, o=-MD b= D= I=-Werror," + defaults_tail},
        // The last -o wins; -D and -U stay in order.
        {{"-o", "x", "-o", "y", "-DA", "-UA", "-DA=2", "a"},
         "in=a, o=y b= D=A=1,-A,A=2, I=" + defaults_tail},
        {{"-MD", "-Werror", "--permissive", "-q", "--color=never", "-E", "a"},
         "in=a, o=. b= D= I= E=1 j=0 q=1 W=1 p=1 c=never M=1:"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.want);
        const parsed p = parse(r.args);
        EXPECT_EQ(options_outcome::run, p.outcome) << p.text;
        EXPECT_EQ(r.want, p.text);
    }
}

TEST(Options, HelpAndVersionWinOverEverythingElse) {
    struct row {
        std::vector<std::string> args;
        options_outcome want;
    };
    const row rows[] = {
        {{"-h"}, options_outcome::help},
        {{"--help"}, options_outcome::help},
        {{"a.idl", "--help", "-o", "x"}, options_outcome::help},
        {{"--version"}, options_outcome::version},
        {{"-q", "--version", "a"}, options_outcome::version},
        {{"--version", "--help"}, options_outcome::help},
        {{"-v"}, options_outcome::version},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args.front());
        EXPECT_EQ(r.want, parse(r.args).outcome);
    }
}

TEST(Options, UsageErrors) {
    struct row {
        std::vector<std::string> args;
        std::string message;
    };
    const row rows[] = {
        {{"-q"}, "no input files"},
        {{"--bogus", "a"}, "unrecognized option '--bogus'"},
        {{"-x", "a"}, "unrecognized option '-x'"},
        {{"-Wall", "a"}, "unrecognized option '-Wall'"},
        {{"-MM", "a"}, "unrecognized option '-MM'"},
        {{"--permisive", "a"}, "unrecognized option '--permisive'; did you mean '--permissive'?"},
        {{"--colour=never", "a"}, "unrecognized option '--colour'; did you mean '--color'?"},
        {{"-Werorr", "a"}, "unrecognized option '-Werorr'; did you mean '-Werror'?"},
        {{"-Wunknown-annotation", "a"},
         "unrecognized option '-Wunknown-annotation'; did you mean '-Wno-unknown-annotation'?"},
        {{"-Wno-unknown-anotation", "a"},
         "unknown warning '-Wno-unknown-anotation'; did you mean '-Wno-unknown-annotation'?"},
        {{"-Wno-everything", "a"}, "unknown warning '-Wno-everything'"},
        {{"--include-refs=relative", "a"},
         "--include-refs takes written or document, not 'relative'"},
        {{"--stdin-name", "a/b.xml", "-"},
         "--stdin-name needs a file name without '/', not 'a/b.xml'"},
        {{"-", "a", "-"}, "standard input ('-') can be read only once"},
        {{"--check", "--list", "a"}, "--check and --list cannot be used together"},
        {{"--from-xml", "--include-refs=document", "a"},
         "--include-refs=document cannot be used with --from-xml"},
        {{"a", "-o"}, "missing value after '-o'"},
        {{"a", "--output"}, "missing value after '--output'"},
        {{"a", "-MF"}, "missing value after '-MF'"},
        {{"-j", "0", "a"}, "-j needs a number from 1 to 1024, not '0'"},
        {{"-j", "x", "a"}, "-j needs a number from 1 to 1024, not 'x'"},
        {{"-j", "4k", "a"}, "-j needs a number from 1 to 1024, not '4k'"},
        {{"-j", "-3", "a"}, "-j needs a number from 1 to 1024, not '-3'"},
        {{"--color=red", "a"}, "--color takes auto, always or never, not 'red'"},
        {{"-D", "1X", "a"}, "macro names must be identifiers: -D 1X"},
        {{"-D", "=1", "a"}, "macro names must be identifiers: -D =1"},
        {{"-U", "A=1", "a"}, "macro names must be identifiers: -U A=1"},
        {{"-o", "", "a"}, "-o needs a folder name"},
        {{"-I", "", "a"}, "-I needs a folder name"},
        {{"-q", ""}, "an input name is empty"},
        {{"-E", "-MF", "d", "a"}, "-MF cannot be used with -E"},
        {{"--from-xml", "-E", "a"}, "--from-xml cannot be used with -E, -D, -U, -MD or -MF"},
        {{"-UX", "--from-xml", "a"}, "--from-xml cannot be used with -E, -D, -U, -MD or -MF"},
        {{"--from-xml", "-MF", "d", "a"}, "--from-xml cannot be used with -E, -D, -U, -MD or -MF"},
        {{"-MD", "-o", "-", "a"},
         "-MD needs an output folder; with -o - name the rule's file "
         "with -MF"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.message);
        const parsed p = parse(r.args);
        EXPECT_EQ(options_outcome::usage_error, p.outcome);
        EXPECT_EQ(r.message, p.text);
    }
}

TEST(Options, FormIsChosenByALeadingDash) {
    struct row {
        std::vector<std::string> args;
        bool compiler;
    };
    const row rows[] = {
        {{}, false},
        {{"a.idl", "out"}, false},
        {{"a.idl", "b.idl", "c.idl"}, false},
        {{"a.idl", "out-dir"}, false},
        {{"-q", "a.idl"}, true},
        {{"a.idl", "out", "-h"}, true},
        {{"-"}, true},
    };
    for (const row &r : rows) {
        std::vector<std::string> words = r.args;
        words.insert(words.begin(), "vandrel");
        std::vector<char *> argv;
        for (std::string &w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(r.compiler, options_compiler_form(static_cast<int>(words.size()), argv.data()));
    }
}
