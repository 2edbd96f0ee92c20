// A parent of qfx_system_audio in Swift, with Foundation's Process and Pipe, as a macOS application runs the helper
// from its own bundle: a small client to copy into an application, and a command line.
//
//   record OUTPUT SECONDS
//
// records the system audio into OUTPUT for SECONDS. QFX_SYSTEM_AUDIO names the tool; without it the helper is
// looked for beside this executable (Contents/MacOS in an application bundle), then on PATH.
//
// The client blocks while it waits for the helper: an application calls start() and stop() off the main thread.
import Foundation

/// Every way a recording can go wrong, with the helper's own message.
enum RecordingError: Error {
    /// The helper could not be run at all.
    case launch(String)
    /// Status 2: the helper was called wrongly; a fault in the parent.
    case usage(String)
    /// Status 4: the recording could not start. Show the message; on macOS, a missing Screen & System Audio
    /// Recording permission ends here, and the user has to grant it to this application and restart it.
    case couldNotStart(String)
    /// Status 5: the recording ran, but the file could not be finished.
    case finishFailed(String)
    /// The capture ended by itself during the recording; the helper still exited 0 and the file holds what was
    /// recorded until then.
    case streamStopped(String)
    /// Any other ending: an unknown status, or the helper killed by a signal.
    case unexpected(String)

    var kind: String {
        switch self {
        case .launch: return "launch"
        case .usage: return "usage"
        case .couldNotStart: return "start"
        case .finishFailed: return "finish"
        case .streamStopped: return "streamStopped"
        case .unexpected: return "unexpected"
        }
    }

    var message: String {
        switch self {
        case let .launch(text), let .usage(text), let .couldNotStart(text), let .finishFailed(text),
             let .streamStopped(text), let .unexpected(text):
            return text
        }
    }
}

/// One run of the helper: start() returns once it wrote READY, stop() once the file is finished.
final class SystemAudioRecording {
    static let stopReportPrefix = "ScreenCaptureKit stopped: "

    let path: String
    /// Called on a background thread with the stop report when the capture ends by itself while recording.
    var onStreamStopped: ((String) -> Void)?

    private let process = Process()
    private let input = Pipe()
    private let output = Pipe()
    private let errors = Pipe()
    private let lock = NSLock()
    private var errorLines: [String] = []
    private var stopReport: String?
    private let errorsRead = DispatchSemaphore(value: 0)
    private var inputClosed = false

    init(tool: URL, path: String) {
        self.path = path
        process.executableURL = tool
        process.arguments = [path]
        process.standardInput = input
        process.standardOutput = output
        process.standardError = errors
    }

    /// Blocks until the helper has written READY; throws why it did not.
    func start() throws {
        do {
            try process.run()
        } catch {
            throw RecordingError.launch("\(process.executableURL?.path ?? ""): \(error.localizedDescription)")
        }
        let errorHandle = errors.fileHandleForReading
        Thread.detachNewThread { [self] in
            readErrors(from: errorHandle)
        }
        if firstLine(of: output.fileHandleForReading) == "READY" {
            return
        }
        // No READY: the helper has ended, or is about to, with its reason on standard error.
        closeInput()
        waitForExit()
        throw failure() ?? RecordingError.unexpected("qfx_system_audio ended without READY")
    }

    /// Writes the stop line and blocks until the helper has finished the file; throws if it is not complete.
    func stop() throws {
        if !inputClosed {
            // Fails only when the helper has ended already; its exit status then says why.
            try? input.fileHandleForWriting.write(contentsOf: Data("\n".utf8))
        }
        closeInput()
        waitForExit()
        if let error = failure() {
            throw error
        }
    }

    private func closeInput() {
        if !inputClosed {
            inputClosed = true
            try? input.fileHandleForWriting.close()
        }
    }

    private func waitForExit() {
        process.waitUntilExit()
        errorsRead.wait()
        errorsRead.signal() // a later stop() after a failed start must not block
    }

    private func firstLine(of handle: FileHandle) -> String? {
        var line = Data()
        while let byte = try? handle.read(upToCount: 1), !byte.isEmpty {
            if byte.first == UInt8(ascii: "\n") {
                return String(decoding: line, as: UTF8.self)
            }
            line.append(byte)
        }
        return nil
    }

    private func readErrors(from handle: FileHandle) {
        var pending = Data()
        while true {
            let chunk = handle.availableData // blocks until data arrives, empty at the end
            pending.append(chunk)
            while let end = pending.firstIndex(of: UInt8(ascii: "\n")) {
                take(String(decoding: pending[pending.startIndex..<end], as: UTF8.self))
                pending.removeSubrange(pending.startIndex...end)
            }
            if chunk.isEmpty {
                break
            }
        }
        if !pending.isEmpty {
            take(String(decoding: pending, as: UTF8.self))
        }
        errorsRead.signal()
    }

    private func take(_ line: String) {
        var report: String?
        lock.lock()
        if line.hasPrefix(Self.stopReportPrefix) && stopReport == nil {
            stopReport = line
            report = line
        } else if !line.isEmpty {
            errorLines.append(line)
        }
        lock.unlock()
        if let report {
            onStreamStopped?(report)
        }
    }

    private func failure() -> RecordingError? {
        lock.lock()
        defer { lock.unlock() }
        let message = errorLines.last ?? ""
        let status = process.terminationStatus
        if process.terminationReason == .uncaughtSignal {
            return .unexpected("qfx_system_audio was killed by signal \(status)")
        }
        switch status {
        case 0: return stopReport.map { RecordingError.streamStopped($0) }
        case 2: return .usage(message)
        case 4: return .couldNotStart(message)
        case 5: return .finishFailed(message)
        default: return .unexpected("qfx_system_audio exited with status \(status): \(message)")
        }
    }
}

/// QFX_SYSTEM_AUDIO, else the helper beside this executable (in an application bundle: Contents/MacOS), else PATH.
func findTool() -> URL? {
    let environment = ProcessInfo.processInfo.environment
    if let named = environment["QFX_SYSTEM_AUDIO"], !named.isEmpty {
        return URL(fileURLWithPath: named)
    }
    if let bundled = Bundle.main.url(forAuxiliaryExecutable: "qfx_system_audio") {
        return bundled
    }
    for directory in (environment["PATH"] ?? "").split(separator: ":") {
        let candidate = URL(fileURLWithPath: String(directory)).appendingPathComponent("qfx_system_audio")
        if FileManager.default.isExecutableFile(atPath: candidate.path) {
            return candidate
        }
    }
    return nil
}

func printError(_ text: String) {
    FileHandle.standardError.write(Data((text + "\n").utf8))
}

// A write to a pipe whose reader has gone must fail as an error, not end this process.
signal(SIGPIPE, SIG_IGN)

let arguments = CommandLine.arguments
guard arguments.count == 3, let seconds = Double(arguments[2]), seconds >= 0 else {
    printError("usage: record OUTPUT SECONDS")
    exit(2)
}
guard let tool = findTool() else {
    printError("launch: qfx_system_audio was not found: set QFX_SYSTEM_AUDIO or put it on PATH")
    exit(1)
}

let recording = SystemAudioRecording(tool: tool, path: arguments[1])
recording.onStreamStopped = { line in printError(line) }
do {
    try recording.start()
    Thread.sleep(forTimeInterval: seconds)
    try recording.stop()
    print("recorded \(seconds) s into \(recording.path)")
} catch {
    let failure = error as? RecordingError ?? .unexpected("\(error)")
    printError("\(failure.kind): \(failure.message)")
    exit(1)
}
