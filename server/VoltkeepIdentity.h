#pragma once

namespace NVL::Engineering::VK::Identity {

// The one Latin-1 name the program uses wherever it names itself (service, application, resources).
constexpr char ServiceName[] = "Voltkeep";
constexpr char OrganisationName[] = "Norvale";
constexpr int VersionMajor = 1;
constexpr int VersionMinor = 30;
constexpr int VersionPatch = 5;
constexpr int VersionBuild = 22;
constexpr unsigned DefaultPort = 9362;

} // namespace NVL::Engineering::VK::Identity
