#pragma once
// The configuration file loader: reads a file of node definitions (plain, or gzip-compressed
// when the name ends in "gz") into a tree, converts its values and sends the tree to the
// configuration store in a ("conf", "data", "clear-old" or "") message.
//
// One definition:  name (Type) = "value" { children }
//   trawlex (String) = "" {
//     target (String) = "" {
//       dir (DirName) = "." { }
//       interval (TimeSpan) = "15M" { }
//     }
//     path (FileName) = "${trawlex.target.dir}x" { }
//   }
// The name is every character up to "(", the type word every character up to ")"; the value
// has no escapes (a backslash is ordinary, line breaks belong to it). The braces are required.
// An empty name ends the whole load without error. There is no comment syntax.
//
// Conversion: string values get their ${path} references to entries of the same file inlined;
// dir values also get a trailing separator and go through fullNormalise; file values the
// same without the separator; timespan values in the old form become P-notation (15M gives
// PT15M, 1D12H gives P1DT12H, P1D stays). A reference that closes a loop, or whose text would
// make the value longer than maximumInlinedLength, stays in place for the store to expand.
//
// Untrusted files end in a load error, never in a crash: nesting deeper than maximumDepth
// levels throws Load_TooDeep.

#include <cstddef>
#include <cstdint>
#include <string>

#include "corelib/ConfNode.h"
#include "corelib/Exception.h"
#include "corelib/Ims.h"
#include "corelib/Logger.h"
#include "corelib/PathTools.h"

namespace KelvraCorelib {

class ConfOldFile : public ImsAgent, public Throws {
public:
    KELVRA_ERROR_CLASS(Load_FileNotFound);
    KELVRA_ERROR_CLASS(Load_FileError);
    KELVRA_ERROR_CLASS(Load_PrematureEndOfFile);
    KELVRA_ERROR_CLASS(Load_InvalidNode);
    KELVRA_ERROR_CLASS(Load_FailedToSendToBase);
    KELVRA_ERROR_CLASS(LoadNode_EndOfNodes);
    KELVRA_ERROR_CLASS(Load_TooDeep);

    // Deepest nesting of definitions (a top-level definition is level 1).
    static constexpr uint32_t maximumDepth = 256;
    // Longest value that reference inlining produces; a reference whose text would make the
    // value longer stays in place.
    static constexpr size_t maximumInlinedLength = size_t(64) * 1024 * 1024;
    // Bytes that reference inlining may add over one whole file, so that many references to
    // one large value cannot fill the memory; references beyond it stay.
    static constexpr size_t maximumInlinedTotal = maximumInlinedLength;

    // Agent "conf-old-file", logger module "conffile", both trees null.
    ConfOldFile();
    ~ConfOldFile() override;

    // Parses the file into rawTree, converts it into tree and releases rawTree. Throws
    // Load_FileNotFound, Load_FileError (also for a file that cannot be read to its end, such
    // as a damaged or cut-short gzip file), and as a plain Exception (class name, template and
    // parameters of the original, one more annotation) Load_InvalidNode,
    // Load_PrematureEndOfFile, Load_TooDeep and ConfNode::AddChild_NameAlreadyInUse.
    void loadIntoMemory(const std::string& fileName);
    // Sends tree to the store and empties it. Throws Load_FailedToSendToBase when the message
    // is not handled or nothing was loaded.
    void sendToBase(bool clearOld);
    // loadIntoMemory, then sendToBase: nothing is sent unless the whole file loaded.
    void load(const std::string& fileName, bool clearOld);

    Logger logger;  // module "conffile"
    ConfNodeHandle rawTree;
    ConfNodeHandle tree;
    // Path rules of dir and file values; the platform's own in the program.
    PathStyle pathStyle = PathStyle::Native;
};

}  // namespace KelvraCorelib
