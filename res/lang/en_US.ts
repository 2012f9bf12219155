<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="102">
        <source>DEVICE：%s</source>
        <translation>DEVICE：%s</translation>
    </message>
    <message id="104">
        <source>Tips</source>
        <translation>Tips</translation>
    </message>
    <message id="107">
        <source>Service Setting</source>
        <translation>Service Setting</translation>
    </message>
    <message id="108">
        <source>Service Setting</source>
        <translation>Service Setting</translation>
    </message>
    <message id="109">
        <source>Device Info</source>
        <translation>Device Info</translation>
    </message>
    <message id="110">
        <source>Reader Setting</source>
        <translation>Reader Setting</translation>
    </message>
    <message id="111">
        <source>Device Operation</source>
        <translation>Device Operation</translation>
    </message>
    <message id="112">
        <source>ID：%s&#x9;From Device：%s&#x9;Read Time：%s&#xd;&#xa;</source>
        <translation>ID：%s&#x9;From Device：%s&#x9;Read Time：%s&#xd;&#xa;</translation>
    </message>
    <message id="113">
        <source>Reader Info:</source>
        <translation>Reader Info:</translation>
    </message>
    <message id="114">
        <source>Ready</source>
        <translation>Ready</translation>
    </message>
    <message id="115">
        <source>No.</source>
        <translation>No.</translation>
    </message>
    <message id="116">
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message id="117">
        <source>Login Time</source>
        <translation>Login Time</translation>
    </message>
    <message id="118">
        <source>Last Reg Time</source>
        <translation>Last Reg Time</translation>
    </message>
    <message id="119">
        <source>TagCount</source>
        <translation>TagCount</translation>
    </message>
    <message id="120">
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message id="121">
        <source>No.</source>
        <translation>No.</translation>
    </message>
    <message id="122">
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message id="123">
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message id="124">
        <source>Count</source>
        <translation>Count</translation>
    </message>
    <message id="125">
        <source>Last Read Time</source>
        <translation>Last Read Time</translation>
    </message>
    <message id="126">
        <source>Please config service parameter first!</source>
        <translation>Please config service parameter first!</translation>
    </message>
    <message id="127">
        <source>Failed to start service!</source>
        <translation>Failed to start service!</translation>
    </message>
    <message id="128">
        <source>Failed to create parase data thread</source>
        <translation>Failed to create parase data thread</translation>
    </message>
    <message id="129">
        <source>Error</source>
        <translation>Error</translation>
    </message>
    <message id="130">
        <source>Are you sure exit？</source>
        <translation>Are you sure exit？</translation>
    </message>
    <message id="131">
        <source>Exit</source>
        <translation>Exit</translation>
    </message>
    <message id="133">
        <source>Please select device first!</source>
        <translation>Please select device first!</translation>
    </message>
    <message id="134">
        <source>Are you sure disconnect %s?</source>
        <translation>Are you sure disconnect %s?</translation>
    </message>
    <message id="135">
        <source>Notice</source>
        <translation>Notice</translation>
    </message>
    <message id="136">
        <source>Disconnect %s</source>
        <translation>Disconnect %s</translation>
    </message>
    <message id="137">
        <source>Export read id record</source>
        <translation>Export read id record</translation>
    </message>
    <message id="138">
        <source>Failed to open file</source>
        <translation>Failed to open file</translation>
    </message>
    <message id="139">
        <source>Index&#x9;ID&#x9;Device&#x9;Read Count&#x9;Last Read Time&#xd;&#xa;</source>
        <translation>Index&#x9;ID&#x9;Device&#x9;Read Count&#x9;Last Read Time&#xd;&#xa;</translation>
    </message>
    <message id="141">
        <source>Trelvane</source>
        <translation>Trelvane</translation>
    </message>
    <message id="142">
        <source>System Control</source>
        <translation>System Control</translation>
    </message>
    <message id="143">
        <source>Start Service</source>
        <translation>Start Service</translation>
    </message>
    <message id="144">
        <source>Stop Service</source>
        <translation>Stop Service</translation>
    </message>
    <message id="145">
        <source>Disconnect Device</source>
        <translation>Disconnect Device</translation>
    </message>
    <message id="146">
        <source>Refresh ID</source>
        <translation>Refresh ID</translation>
    </message>
    <message id="147">
        <source>Exit System</source>
        <translation>Exit System</translation>
    </message>
    <message id="148">
        <source>System Setting</source>
        <translation>System Setting</translation>
    </message>
    <message id="149">
        <source>Server Setting</source>
        <translation>Server Setting</translation>
    </message>
    <message id="150">
        <source>Language</source>
        <translation>Language</translation>
    </message>
    <message id="151">
        <source>Chinese(P.R.C)</source>
        <translation>Chinese(P.R.C)</translation>
    </message>
    <message id="152">
        <source>Traditional Chinese</source>
        <translation>Traditional Chinese</translation>
    </message>
    <message id="153">
        <source>English</source>
        <translation>English</translation>
    </message>
    <message id="154">
        <source>Device Manage</source>
        <translation>Device Manage</translation>
    </message>
    <message id="155">
        <source>Device Info</source>
        <translation>Device Info</translation>
    </message>
    <message id="156">
        <source>Help</source>
        <translation>Help</translation>
    </message>
    <message id="157">
        <source>About</source>
        <translation>About</translation>
    </message>
    <message id="200">
        <source>Failed to set!</source>
        <translation>Failed to set!</translation>
    </message>
    <message id="201">
        <source>Failed to send query CMD!</source>
        <translation>Failed to send query CMD!</translation>
    </message>
    <message id="202">
        <source>Failed to send set CMD!</source>
        <translation>Failed to send set CMD!</translation>
    </message>
    <message id="203">
        <source>Success to set device info!</source>
        <translation>Success to set device info!</translation>
    </message>
    <message id="204">
        <source>Failed to set device info!</source>
        <translation>Failed to set device info!</translation>
    </message>
    <message id="205">
        <source>Failed to query device info!</source>
        <translation>Failed to query device info!</translation>
    </message>
    <message id="206">
        <source>Device %s is reading... Please stop first!</source>
        <translation>Device %s is reading... Please stop first!</translation>
    </message>
    <message id="207">
        <source>There is no local ip address!</source>
        <translation>There is no local ip address!</translation>
    </message>
    <message id="208">
        <source>Set Success</source>
        <translation>Set Success</translation>
    </message>
    <message id="209">
        <source>there is no winsock DLL to use</source>
        <translation>there is no winsock DLL to use</translation>
    </message>
    <message id="210">
        <source>there is not right winsock DLL </source>
        <translation>there is not right winsock DLL </translation>
    </message>
    <message id="211">
        <source>About Trelvane</source>
        <translation>About Trelvane</translation>
    </message>
    <message id="212">
        <source>Trelvane 1.9.0</source>
        <translation>Trelvane 1.9.0</translation>
    </message>
    <message id="213">
        <source>获取本机IP地址错误!!!</source>
        <translation>获取本机IP地址错误!!!</translation>
    </message>
    <message id="214">
        <source>文本文档(*.txt)</source>
        <translation>文本文档(*.txt)</translation>
    </message>
    <message id="215">
        <source>Microsoft Office Excel(*.xls)</source>
        <translation>Microsoft Office Excel(*.xls)</translation>
    </message>
    <message id="216">
        <source>All Files(*.*)</source>
        <translation>All Files(*.*)</translation>
    </message>
    <message id="32771">
        <source>Start Service&#xa;Start Service</source>
        <translation>Start Service&#xa;Start Service</translation>
    </message>
    <message id="32772">
        <source>Stop Service&#xa;Stop Service</source>
        <translation>Stop Service&#xa;Stop Service</translation>
    </message>
    <message id="32773">
        <source>Disconnect Device&#xa;Disconnect DTU</source>
        <translation>Disconnect Device&#xa;Disconnect DTU</translation>
    </message>
    <message id="32774">
        <source>Refresh ID&#xa;Refresh Id</source>
        <translation>Refresh ID&#xa;Refresh Id</translation>
    </message>
    <message id="32776">
        <source>Exit System&#xa;Exit</source>
        <translation>Exit System&#xa;Exit</translation>
    </message>
    <message id="32777">
        <source>Device Info&#xa;Device Info</source>
        <translation>Device Info&#xa;Device Info</translation>
    </message>
    <message id="32778">
        <source>Server Setting&#xa;Service Config</source>
        <translation>Server Setting&#xa;Service Config</translation>
    </message>
    <message id="32780">
        <source>About&#xa;About</source>
        <translation>About&#xa;About</translation>
    </message>
    <message id="59141">
        <source>Service Started</source>
        <translation>Service Started</translation>
    </message>
    <message id="59142">
        <source>Service Stoped</source>
        <translation>Service Stoped</translation>
    </message>
    <message id="59143">
        <source>Status:</source>
        <translation>Status:</translation>
    </message>
    <message id="61714">
        <source>请输入一个在 %1 和 %2 之间的整数。</source>
        <translation>请输入一个在 %1 和 %2 之间的整数。</translation>
    </message>
    <message id="61719">
        <source>请输入一个正整数。</source>
        <translation>请输入一个正整数。</translation>
    </message>
    <message id="220">
        <source>The history is not kept: %s</source>
        <translation>The history is not kept: %s</translation>
    </message>
</context>
</TS>
