-- The release table (common and cloud database) and the control table (common database).
-- Runs unchanged on SQL Server; each table is created only when it is missing. Names are
-- bracketed so that no line starts with a word that tsql takes as its own command ("version").

IF OBJECT_ID(N'dbo.vcSysProgRelease', N'U') IS NULL
CREATE TABLE [dbo].[vcSysProgRelease] (
    [RecID]        INT IDENTITY(1,1) NOT NULL PRIMARY KEY,
    [Suite]        VARCHAR(20)    NULL,
    [ProgName]     VARCHAR(50)    NULL,
    [Description]  VARCHAR(255)   NULL,
    [Version]      VARCHAR(20)    NULL,
    [Critical]     VARCHAR(10)    NULL,
    [MinDBVersion] VARCHAR(20)    NULL,
    [Notes]        VARCHAR(2000)  NULL,
    [UploadDate]   VARCHAR(10)    NULL,
    [UploadTime]   VARCHAR(8)     NULL,
    [RARFile]      VARBINARY(MAX) NULL
);

IF OBJECT_ID(N'dbo.vcControl', N'U') IS NULL
CREATE TABLE [dbo].[vcControl] (
    [RecID]       INT IDENTITY(1,1) NOT NULL PRIMARY KEY,
    [Suite]       VARCHAR(20)  NOT NULL,
    [Code]        VARCHAR(20)  NOT NULL,
    [DBConnector] VARCHAR(50)  NULL,
    [Details]     VARCHAR(255) NULL,
    [DBUser]      VARCHAR(50)  NULL,
    [DBPswd]      VARCHAR(128) NULL
);
