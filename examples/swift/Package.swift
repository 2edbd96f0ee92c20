// swift-tools-version:5.9
// A minimal macOS parent of qfx_system_audio: `swift build -c release`, then
// `.build/release/record OUTPUT SECONDS`.
import PackageDescription

let package = Package(
    name: "record",
    platforms: [.macOS(.v13)],
    targets: [
        .executableTarget(name: "record", path: "Sources/record"),
    ]
)
