#include "cli/convert.h"

#include "cli/output.h"
#include "firmware/hexconversion.h"
#include "platform/terminal.h"

#include <optional>

namespace {
QString convertPositionals(const CommandEntry &command, Options &options, QStringList arguments)
{
    if (arguments.isEmpty())
        return QStringLiteral("convert needs a HEX file");
    if (arguments.size() > 2)
        return tooMany(command, arguments, 2);
    options.file = arguments.at(0);
    if (arguments.size() == 2)
        options.output = arguments.at(1);
    return QString();
}

int runConvert(const Options &options)
{
    ImageFileConversion result;
    std::optional<StandardOutputTaken> taken;
    if (options.output == kStandardOutputName) {
        // Its report goes to standard error then.
        taken.emplace();
        QByteArray image;
        result = convertHexFile(options.file, &image);
        const QString error = result.ok() ? writeToStandardOutput(*taken, image) : QString();
        if (!error.isEmpty()) {
            result.status = ImageFileConversion::OutputUnwritable;
            result.message = error;
        }
    } else {
        result = convertHexFileToImage(options.file, options.output);
    }
    if (!result.ok()) {
        printError(result.message);
        return kExitFailure;
    }
    printLine(QStringLiteral("%1: %2 bytes written to %3")
                  .arg(options.file)
                  .arg(result.imageBytes)
                  .arg(taken ? QStringLiteral("standard output") : options.output));
    return kExitSuccess;
}
} // namespace

const CommandEntry kConvertCommand {
    Command::Convert,
    "convert",
    "convert an Intel HEX file into a flat image",
    QStringLiteral(R"(Usage: rudireze-cli convert FILE.hex [OUT.bin]

Converts an Intel HEX file into the flat binary image the window uploads,
exactly as the window converts it, and writes it to OUT.bin (default
%1; "-": standard output, the report then on standard error).
The byte for address A lands at offset A; gaps read as zero.
A file that cannot be converted is named with the line at fault, and nothing
is written.

)")
        .arg(QLatin1String(kImagePath)),
    14,
    { verboseRow(), helpRow() },
    QStringLiteral(R"(
Exit status: 0 when the image was written, 1 when the file could not be
read, converted or written, )")
        + QLatin1String(kExitUsageHelp),
    convertPositionals,
    nullptr,
    runConvert,
};
