#include "common/CommandLine.h"

#include <memory>
#include <sstream>

#include "common/Text.h"

namespace zel {

namespace {

class UsageFirst final : public CLI::Formatter {
public:
    UsageFirst(std::string usage, std::string text)
        : usage_(std::move(usage)), text_(std::move(text)) {}

    std::string make_help(const CLI::App* app, std::string /*name*/,
                          CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) {
            return make_expanded(app);
        }
        std::ostringstream out;
        out << "Usage: " << usage_ << "\n\n" << text_ << "\n";
        out << make_positionals(app) << make_groups(app, mode) << make_subcommands(app, mode);
        const std::string footer = make_footer(app);
        if (!footer.empty()) {
            out << '\n' << footer;
        }
        return out.str();
    }

private:
    std::string usage_;
    std::string text_;
};

}  // namespace

void SetUsage(CLI::App& app, std::string usage, std::string text, std::size_t width) {
    auto formatter = std::make_shared<UsageFirst>(std::move(usage), std::move(text));
    formatter->column_width(width);
    app.formatter(std::move(formatter));
}

void ParseArgs(CLI::App& app, const std::vector<std::string>& args) {
    // CLI11 takes the arguments last first. It reads "--name=" as --name
    // with its value still to come; here the value is given, and empty.
    std::vector<std::string> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
        const std::string name = it->substr(0, it->size() - 1);
        const CLI::Option* option =
            it->starts_with("--") && it->ends_with("=") ? app.get_option_no_throw(name) : nullptr;
        if (option != nullptr && option->get_items_expected_max() > 0) {
            reversed.emplace_back();
            reversed.push_back(name);
        } else {
            reversed.push_back(*it);
        }
    }
    try {
        app.parse(std::move(reversed));
    } catch (const CLI::CallForHelp&) {
        throw;
    } catch (const CLI::CallForVersion&) {
        throw;
    } catch (const CLI::ArgumentMismatch& e) {
        // CLI11 names the option first: "--wait: 1 required MS missing", or
        // "--raw was given a disallowed flag override".
        const std::string what = e.what();
        const std::string name = what.substr(0, what.find_first_of(": "));
        if (what.find("flag override") != std::string::npos) {
            for (const auto& arg : args) {
                if (arg.starts_with("--" + name + "=")) {
                    throw CommandLineError("unknown option " + Quoted(arg));
                }
            }
        }
        throw CommandLineError("option " + name + " needs a value");
    } catch (const CLI::ParseError& e) {
        throw CommandLineError(e.what());
    }
}

}  // namespace zel
