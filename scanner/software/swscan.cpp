// The software scan driver.
#include "scanner/software/swscan.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>

#include "scanner/software/learn.h"
#include "scanner/software/recognize.h"

namespace qv::scanner {

int RunSoftwareScan(const SoftwareEnv& env, const SoftwareScanParams& params, ApplicationsDatabase& db,
                    DirectorySource& source, SoftwarePlatform& platform,
                    const std::function<void()>& capture_config) {
    bool learning = !params.learning_value.empty();
    ProgressDisplay progress(env.console, env.verbose, params.expected_files, params.files_per_mark);
    if (env.verbose && env.console) env.console->Out(env.Text(kTxtScanningSoftware));

    std::FILE* learning_file = nullptr;
    std::optional<Learner> learner;
    std::optional<Recognizer> recognizer;
    std::optional<Walker> walker;
    bool first = true;
    for (;;) {
        if (walker) walker->ResetFileCount();
        progress.StartPass();
        int r = db.LoadPortion(params.database_path);
        if (r != 0) return r;
        if (first) {
            if (capture_config) capture_config();
            if (learning) {
                if (!db.IsLastPortion()) {
                    env.Message(env.Text(kTxtLearnNeedsWholeDatabase));
                    return kSoftwareLearnTooLarge;
                }
                if (params.learning_value != ":") {
                    errno = 0;
                    learning_file = platform.OpenLearningFile(params.learning_value);
                    if (!learning_file) {
                        env.FileError(params.learning_value, errno);
                        return kSoftwareLearnFile;
                    }
                    if (params.learning_file) *params.learning_file = learning_file;
                }
                learner.emplace(env, platform, params.learning_value, params.database_path, learning_file);
            }
            recognizer.emplace(env, db, learner ? &*learner : nullptr);
            walker.emplace(source, *recognizer, db.settings(), &progress, params.no_subdirectories);
            first = false;
        }

        if (!params.scan_root.empty()) {
            r = walker->WalkRoot(params.scan_root);
            if (r != 0) return r;
        } else {
            for (char letter = 'A'; letter <= 'Z'; ++letter) {
                if (!platform.IsFixedDrive(letter)) continue;
                char root[] = {letter, ':', '\\', '\0'};
                r = walker->WalkRoot(root);
                if (r != 0) return r;
            }
            if (params.extra_drive) {
                char root[] = {params.extra_drive, ':', '\\', '\0'};
                r = walker->WalkRoot(root);
                if (r != 0) return r;
            }
        }
        bool last = db.IsLastPortion();
        progress.EndPass(last, env.Text(kTxtDone));
        if (last) break;
    }
    const std::uint32_t files = walker->file_count();
    db.Close();
    if (!learning) {
        char value[16];
        std::snprintf(value, sizeof value, "%6u", static_cast<unsigned>(files));
        env.output->Item(env.Label(kLblNumberOfFiles), value);
    }
    return 0;
}

}  // namespace qv::scanner
