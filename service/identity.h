// Identity of the service: names and versions as the SCM, the registry and users see them.
#pragma once

constexpr const char kServiceName[] = "Kestro Vantor Service";
constexpr const char kExecutableName[] = "NVXService.exe";
constexpr const char kProductVersion[] = "2.1.2";
constexpr const char kFileVersionText[] = "2.1.2.0";
constexpr const char kVersionSuffix[] = "2802564";
constexpr const char kCopyrightLine[] = "Copyright (C) Kestro. All rights reserved.";
