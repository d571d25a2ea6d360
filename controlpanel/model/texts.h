// Every caption, label and message the control panel shows, in one place:
// the views and the tests use these constants. The texts are the program's
// own and are kept letter for letter, misspellings included.
#pragma once

namespace controlpanel::texts {

// Application, sheet and message boxes.
inline constexpr char kAppCaption[] = "Quorvel SOAP Server Control Panel";
inline constexpr char kSheetCaption[] = "Quorvel SOAP Server Control Panel v3.2";
inline constexpr char kUserAgent[] = "Brevla Control Panel/3.2 (C++ SOAP client library)";
inline constexpr char kWsdlFileName[] = "QVSOAPSvrCP.wsdl";
inline constexpr char kRequestMessageCaption[] = "Request Message";
inline constexpr char kResponseMessageCaption[] = "Response Message";
inline constexpr char kOk[] = "OK";
inline constexpr char kCancel[] = "Cancel";
// Alt+A belongs to the pages' "&Add..." buttons.
inline constexpr char kApply[] = "A&pply";
inline constexpr char kHelp[] = "Help";

// About dialog.
inline constexpr char kAboutCaption[] = "About the Quorvel SOAP Server Control Panel";
inline constexpr char kAboutVersion[] = "Quorvel SOAP Server Control Panel Version 3.2";
inline constexpr char kAboutNotice[] =
    "Administers a running Quorvel SOAP Server through its management endpoint.";

// Log-on dialog.
inline constexpr char kLogonCaption[] = "Log On to Quorvel SOAP Server";
inline constexpr char kLogonRealm[] = "Realm:";
inline constexpr char kLogonUserId[] = "User &ID:";
inline constexpr char kLogonPassword[] = "&Password:";

// Page titles, in the sheet's order.
inline constexpr char kConnectTitle[] = "Connect";
inline constexpr char kServerSettingsTitle[] = "Server Settings";
inline constexpr char kServicesTitle[] = "SOAP Services";
inline constexpr char kHttpSettingsTitle[] = "HTTP Settings";
inline constexpr char kLoggingTitle[] = "Logging";

// Connect page.
inline constexpr char kServerGroup[] = "Server";
inline constexpr char kHostnameLabel[] = "&Hostname:";
inline constexpr char kPortLabel[] = "Port &Nbr:";
inline constexpr char kConnectButton[] = "&Connect";
inline constexpr char kStatisticsGroup[] = "Statistics";
inline constexpr char kNumConnectsLabel[] = "Connections Handled:";
inline constexpr char kNumBytesSentLabel[] = "Number of bytes sent:";
inline constexpr char kNumHttpErrorsLabel[] = "Number of HTTP Errors:";
inline constexpr char kNumNetErrorsLabel[] = "Number of Network Errors:";
inline constexpr char kNumIntErrorsLabel[] = "Number of Internal Errors:";
inline constexpr char kRefreshButton[] = "&Refresh";

// Connection messages.
inline constexpr char kHostNameRequired[] = "Host name required!";
inline constexpr char kInvalidUserId[] = "Invalid User ID!";
inline constexpr char kInvalidUserIdPassword[] = "Invalid User ID/Password!";
inline constexpr char kInvalidRealm[] = "Invalid Security Realm!";
inline constexpr char kUnexpectedAuthFailure[] = "Unexpected Authentication failure!";
inline constexpr char kNotConnected[] = "Error: Not connected to any Server!";
inline constexpr char kConfigReadFailed[] = "Failed to read configuration file.";

// Server Settings page.
inline constexpr char kConnectionParamsGroup[] = "Connection Parameters";
inline constexpr char kListenPortLabel[] = "Listen on Port:";
inline constexpr char kWorkThreadsLabel[] = "Number of Worker Threads:";
inline constexpr char kMaxClientsLabel[] = "Max Number of Clients:";
inline constexpr char kClientTimeoutLabel[] = "Client Disconnect Timeout:";
inline constexpr char kWatchdogLabel[] = "Watchdog Timer Interval:";
inline constexpr char kSecondsUnit[] = "secs.";
inline constexpr char kServerSettingsReadFailed[] = "Failed to obtain settings from Server!";

// SOAP Services page and its dialogs.
inline constexpr char kAddButton[] = "&Add...";
inline constexpr char kEditButton[] = "&Edit...";
inline constexpr char kDeleteButton[] = "&Delete";
inline constexpr char kServiceUriColumn[] = "URI";
inline constexpr char kServiceNameColumn[] = "Service";
inline constexpr char kServicePortColumn[] = "Port";
inline constexpr char kWsdlUrlColumn[] = "WSDL file URL";
inline constexpr char kBodyHandlerColumn[] = "Body Handler";
inline constexpr char kHeaderHandlersColumn[] = "Header Handlers";
inline constexpr char kRolesColumn[] = "Roles";
inline constexpr char kNextHopColumn[] = "Next Hop";
inline constexpr char kNodeUriColumn[] = "Node URI";
inline constexpr char kEnabledColumn[] = "Enabled";
inline constexpr char kYes[] = "Yes";
inline constexpr char kNo[] = "No";
inline constexpr char kServicesListFailed[] = "Failed to intialize Services list!";
inline constexpr char kServicesReadFailed[] = "Failed to obtain Services Info from Server!";
inline constexpr char kServicesWriteFailed[] = "Failed to update settings on Server!";
// printf form: the URI in place of %s.
inline constexpr char kServiceExists[] =
    "Error: Service <%s> already exists!\nNew Service not created.";
// Followed by the row's URI and kDeleteQuestionEnd.
inline constexpr char kDeleteServiceQuestion[] =
    "Are you sure you want to\ndelete the SOAP Service URI: ";
inline constexpr char kDeleteQuestionEnd[] = " ?";
inline constexpr char kAddServiceCaption[] = "Add New SOAP Service";
inline constexpr char kEditServiceCaption[] = "Edit SOAP Service";
inline constexpr char kServiceUriLabel[] = "SOAP Service &URI:";
inline constexpr char kServiceUriReadOnlyLabel[] = "SOAP Service URI:";
inline constexpr char kWsdlInfoGroup[] = "WSDL Description Info";
inline constexpr char kWsdlUrlLabel[] = "WSDL &File URL:";
inline constexpr char kWsdlServiceLabel[] = "WSDL &Service Name:";
inline constexpr char kWsdlPortLabel[] = "WSDL &Port Name:";
inline constexpr char kComInfoGroup[] = "COM Invocation Info";
inline constexpr char kProgIdLabel[] = "SOAP Service Prog&ID:";
inline constexpr char kHeaderProgIdsLabel[] = "&Header Proc ProgIDs:";
inline constexpr char kIntermediaryGroup[] = "Intermediary Properties";
inline constexpr char kRolesLabel[] = "&Roles:";
inline constexpr char kNextHopLabel[] = "&Next Hop URL:";
inline constexpr char kNodeUriLabel[] = "No&de URI:";
inline constexpr char kServiceEnabledLabel[] = "Service &Enabled";

// HTTP Settings page and the MIME dialogs.
inline constexpr char kDocRootLabel[] = "Document &Base Path:";
inline constexpr char kDefaultFileLabel[] = "Default &File:";
inline constexpr char kMimeGroup[] = "MIME Type Mappings";
inline constexpr char kExtensionColumn[] = "Extension";
inline constexpr char kMimeTypeColumn[] = "MIME Type";
inline constexpr char kHttpListFailed[] = "Failed to intialize HTTP Settings list!";
inline constexpr char kHttpReadFailed[] = "Failed to obtain HTTP Settings from Server!";
inline constexpr char kHttpWriteFailed[] = "Error: Failed to update HTTP Settings on Server!";
// printf form: the extension in place of %s.
inline constexpr char kExtensionMapped[] =
    "Error: File Extension <%s> already mapped!\nNew mapping not created.";
// Followed by the extension and kDeleteQuestionEnd.
inline constexpr char kDeleteMimeQuestion[] =
    "Are you sure you want to delete the\nMIME Type mapping for file extension: ";
inline constexpr char kAddMimeCaption[] = "Add New MIME Type Mapping";
inline constexpr char kEditMimeCaption[] = "Edit MIME Type Mapping";
inline constexpr char kExtensionLabel[] = "Filename &extension:";
inline constexpr char kExtensionReadOnlyLabel[] = "Filename extension:";
inline constexpr char kMimeTypeLabel[] = "MIME &Type:";
inline constexpr char kAddMimeNote[] =
    "Note: Make sure that you prefix the filname extension with a '.' and remember that MIME "
    "types are always in the format: 'type/subtype' with no whitespace allowed between type "
    "names and the dividing forward slash.";
inline constexpr char kEditMimeNote[] =
    "Note: Remember that MIME types are always in the format: 'type/subtype' with no whitespace "
    "allowed between type names and the dividing forward slash.";

// Logging page.
inline constexpr char kServerLogGroup[] = "Server Connection Logging";
inline constexpr char kServerLogPathLabel[] = "&Server Log Path:";
inline constexpr char kServerLogEnabledLabel[] = "Server Logging Enabled";
inline constexpr char kUserAgentLogGroup[] = "User Agent Logging";
inline constexpr char kUserAgentLogPathLabel[] = "&User Agent Log Path:";
inline constexpr char kUserAgentLogEnabledLabel[] = "User Agent Logging Enabled";
inline constexpr char kTraceLogGroup[] = "SOAP Trace Logging";
inline constexpr char kTraceLogPathLabel[] = "SOAP &Trace Log Path:";
inline constexpr char kTraceLogEnabledLabel[] = "SOAP Trace Logging Enabled";
inline constexpr char kLoggingReadFailed[] = "Failed to obtain Logging Settings from Server!";
inline constexpr char kLoggingWriteFailed[] = "Failed to update Logging Settings on Server!";

}  // namespace controlpanel::texts
